#pragma once
// A minimal assertion harness for the core's CTest executables: each check
// that fails prints its place and values; main() returns finish().

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <random>
#include <string>

namespace velmora::testing {

struct Tally {
    int checks = 0;
    int failures = 0;
};

inline Tally& tally() {
    static Tally t;
    return t;
}

inline bool record(bool ok, const char* file, int line, const std::string& what) {
    ++tally().checks;
    if (!ok) {
        ++tally().failures;
        std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
    }
    return ok;
}

// Equal within `tol`, or both NaN.
inline bool near(double a, double b, double tol) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::fabs(a - b) <= tol;
}

// The same double, the sign of zero included; any NaN matches any NaN.
inline bool identical(double a, double b) {
    return std::isnan(a) ? std::isnan(b) : a == b && std::signbit(a) == std::signbit(b);
}

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// "(a, b, ...)", each value as show() spells it.
inline std::string show(std::initializer_list<double> values) {
    std::string out = "(";
    for (const double v : values) {
        if (out.size() > 1) out += ", ";
        out += show(v);
    }
    return out + ")";
}

inline constexpr double pi = std::numbers::pi;
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// Raises `worst` to `value`. A NaN sticks, so the bound checked on `worst` fails.
inline void track_worst(double& worst, double value) {
    if (!std::isnan(worst) && !(value <= worst)) worst = value;
}

// Reproducible random samples for the property loops, one seed per loop.
class Sampler {
public:
    explicit Sampler(std::uint64_t seed) : engine_(seed) {}
    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(engine_); }
    bool coin() { return std::bernoulli_distribution(0.5)(engine_); }
    std::uint64_t bits() { return engine_(); }

private:
    std::mt19937_64 engine_;
};

// Prints the closing line that test runners read, and the exit status.
inline int finish(const char* suite) {
    const Tally& t = tally();
    std::printf("%s: %d checks, %d failed\n", suite, t.checks, t.failures);
    return t.failures == 0 && t.checks > 0 ? 0 : 1;
}

}  // namespace velmora::testing

#define VT_CHECK(cond) ::velmora::testing::record((cond), __FILE__, __LINE__, #cond)
#define VT_CHECK_MSG(cond, msg) ::velmora::testing::record((cond), __FILE__, __LINE__, (msg))
#define VT_CHECK_NEAR(a, b, tol)                                                                   \
    ::velmora::testing::record(::velmora::testing::near((a), (b), (tol)), __FILE__, __LINE__,      \
                               std::string(#a " ~ " #b ": ") + ::velmora::testing::show(a) +      \
                                   " vs " + ::velmora::testing::show(b))
