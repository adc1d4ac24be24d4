#pragma once
// A minimal assertion harness for the core's CTest executables: each check
// that fails prints its place and values; main() returns finish().

#include <cmath>
#include <cstdio>
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

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

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
