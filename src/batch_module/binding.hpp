#pragma once
// One template for every batch function: a function is its loop, the kinds of
// its parameters, the element types and trailing shapes of its outputs, and
// nanobind's argument annotations. define() binds it, writes its stub
// signature from the same description and adds it to __all__.
//
// A call reads the arguments in order (the arm, arrays, options), broadcasts
// the arrays, allocates the outputs, reads `workers`, and runs
//     Loop(shape, <each parameter as its kind passes it>..., <outputs>..., workers)
// with the interpreter's lock released (unless it is a handful of poses on
// one thread). One output is returned as it is,
// several as a tuple.

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch_module/arguments.hpp"
#include "batch_module/call.hpp"

namespace velmora::batch_module {

// Parameter kinds. Each reads its Python argument before the arrays are
// broadcast (`read`) and hands the loop its value after (`pass`); `type` is
// the stub's annotation.

struct Arm {
    static constexpr const char* type = "velmora_torso_kinematics.VelmoraArmKinematics | FiveBar";
    static arm::SphericalFiveBar read(Call& call, const char* name, nb::handle value) {
        return call.arguments().arm(name, value);
    }
    static const arm::SphericalFiveBar& pass(const Call&, const arm::SphericalFiveBar& arm) { return arm; }
};

// An array-like whose trailing dimensions are `trailing`: the loop gets a
// const batch::Input&.
template <const Trailing& trailing>
struct Array {
    static constexpr const char* type = "numpy.typing.ArrayLike";
    static std::size_t read(Call& call, const char* name, nb::handle value) {
        return call.input(name, value, trailing);
    }
    static const batch::Input& pass(const Call& call, std::size_t k) { return call.view(k); }
};

// As Array, or None: the loop gets a const batch::Input*, nullptr for None.
template <const Trailing& trailing>
struct OptionalArray {
    static constexpr const char* type = "numpy.typing.ArrayLike | None";
    static std::size_t read(Call& call, const char* name, nb::handle value) {
        return value.is_none() ? Call::absent : call.input(name, value, trailing);
    }
    static const batch::Input* pass(const Call& call, std::size_t k) {
        return k == Call::absent ? nullptr : &call.view(k);
    }
};

// A distance: None, or a number neither negative nor NaN.
struct OptionalDistance {
    static constexpr const char* type = "float | None";
    static std::optional<double> read(Call& call, const char* name, nb::handle value) {
        return call.arguments().non_negative_or_none(name, value);
    }
    static std::optional<double> pass(const Call&, std::optional<double> value) { return value; }
};

// None, or a finite number > 0 (a follower's max_step_change).
struct OptionalPositive {
    static constexpr const char* type = "float | None";
    static std::optional<double> read(Call& call, const char* name, nb::handle value) {
        if (value.is_none()) return std::nullopt;
        return call.arguments().positive(name, value);
    }
    static std::optional<double> pass(const Call&, std::optional<double> value) { return value; }
};

// None or ((a_min, a_max), (b_min, b_max)): the loop gets the joint limits, or none.
struct Limits {
    static constexpr const char* type = "tuple[tuple[float, float], tuple[float, float]] | None";
    static std::optional<arm::JointLimits> read(Call& call, const char* name, nb::handle value) {
        return call.arguments().limits(name, value);
    }
    static const std::optional<arm::JointLimits>& pass(const Call&, const std::optional<arm::JointLimits>& value) {
        return value;
    }
};

// None or ((yaw_min, yaw_max), (pitch_min, pitch_max), (roll_min, roll_max)): the neck's limits, or none.
struct NeckLimitsOrNone {
    static constexpr const char* type =
        "tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None";
    static std::optional<neck::NeckLimits> read(Call& call, const char*, nb::handle value) {
        return call.arguments().neck_limits(value);
    }
    static const std::optional<neck::NeckLimits>& pass(const Call&, const std::optional<neck::NeckLimits>& value) {
        return value;
    }
};

// None, or a finite number > 0 (a limit on the change of a follower's step).
struct PositiveOrNone {
    static constexpr const char* type = "float | None";
    static std::optional<double> read(Call& call, const char* name, nb::handle value) {
        return call.arguments().positive_or_none(name, value);
    }
    static std::optional<double> pass(const Call&, std::optional<double> value) { return value; }
};

// A finite number > 0 (a follower's step) or >= 0 (a damping): the loop gets a double.
template <bool zero_allowed>
struct Number {
    static constexpr const char* type = "float";
    static double read(Call& call, const char* name, nb::handle value) {
        return zero_allowed ? call.arguments().non_negative(name, value) : call.arguments().positive(name, value);
    }
    static double pass(const Call&, double value) { return value; }
};
using Positive = Number<false>;
using NonNegative = Number<true>;

// What a function checks once its arrays are broadcast, before its loop runs
// (with the lock held, so that it may raise): check(call, values, arguments...)
// gets the parameters as read and as given.
struct NoCheck {
    template <class... Values>
    static void check(const Call&, const Values&...) {}
};

// An output of element type T and trailing shape `tail` (Trailing::any: the
// inputs' T). The loop gets a T* to C-contiguous memory.
template <class T, std::int64_t... tail>
struct Out {
    using Element = T;
    static constexpr std::array<std::int64_t, sizeof...(tail)> dims{tail...};
    static constexpr const char* type = std::is_same_v<T, bool>           ? "numpy.typing.NDArray[numpy.bool_]"
                                        : std::is_same_v<T, std::int64_t> ? "numpy.typing.NDArray[numpy.int64]"
                                        : std::is_same_v<T, std::int8_t>  ? "numpy.typing.NDArray[numpy.int8]"
                                                                          : "numpy.typing.NDArray[numpy.float64]";
};
using Ok = Out<bool>;
inline constexpr std::int64_t T = Trailing::any;

template <class... Kinds>
struct Params {};
template <class... Outputs>
struct Outs {};

namespace detail {

template <class>
using Handle = nb::handle;

// Fewer elements than this run with the interpreter's lock held: handing the
// lock over and back costs more than a few poses' kinematics.
inline constexpr std::int64_t unlocked_from = 16;

// The stub's signature, from the annotations given to define(): one nb::arg
// per parameter, nb::kw_only() where the keyword-only ones start.
struct Signature {
    std::string text;
    std::vector<const char*> names;
    const char* const* types;
    bool keyword_only = false;

    void add(const nb::kw_only&) {
        text += ", *";
        keyword_only = true;
    }
    template <class Arg>
        requires nb::detail::arg_traits<Arg>::is_arg
    void add(const Arg& arg) {
        text += std::string(", ") + arg.name_ + ": " + types[names.size()];
        if constexpr (nb::detail::arg_traits<Arg>::has_default)
            text += std::string(" = ") + nb::repr(arg.value).c_str();
        names.push_back(arg.name_);
    }
};

template <auto Loop, class ParamList, class OutList, class Check>
struct Function;

template <auto Loop, class... Kinds, class... Outputs, class Check>
struct Function<Loop, Params<Kinds...>, Outs<Outputs...>, Check> {
    static constexpr std::size_t arity = sizeof...(Kinds);
    // Set once by define(), while the module is imported.
    static inline const char* name = nullptr;
    static inline std::array<const char*, arity> names{};

    static nb::object call(Handle<Kinds>... arguments, nb::handle workers) {
        return run(std::index_sequence_for<Kinds...>{}, std::index_sequence_for<Outputs...>{}, arguments..., workers);
    }

    template <std::size_t... P, std::size_t... O>
    static nb::object run(std::index_sequence<P...>, std::index_sequence<O...>, Handle<Kinds>... arguments,
                          nb::handle workers) {
        Call call(name);
        // Braces: read in the order of the parameters, which sets the order of errors.
        const std::tuple<decltype(Kinds::read(call, "", nb::handle()))...> read{
            Kinds::read(call, names[P], arguments)...};
        call.broadcast();
        Check::check(call, read, arguments...);
        std::array<nb::object, sizeof...(Outputs)> arrays;
        const std::tuple<typename Outputs::Element*...> out{
            call.output<typename Outputs::Element>(Outputs::dims, arrays[O])...};
        const std::int64_t threads = call.workers(workers);
        const auto loop = [&] {
            Loop(call.shape(), Kinds::pass(call, std::get<P>(read))..., std::get<O>(out)..., threads);
        };
        if (threads == 1 && call.shape().count < unlocked_from) {
            loop();
        } else {
            nb::gil_scoped_release unlocked;
            loop();
        }
        if constexpr (sizeof...(Outputs) == 1) {
            return std::move(arrays[0]);
        } else {
            return nb::make_tuple(arrays[O]...);
        }
    }
};

// Names of the functions defined so far, for __all__.
inline std::vector<std::string>& defined_names() {
    static std::vector<std::string> names;
    return names;
}

}  // namespace detail

// Binds one batch function as `name`; `arguments` are its parameters' nb::arg
// annotations (with defaults and nb::kw_only() as nanobind takes them), and
// Check what it verifies across its broadcast arrays.
// `workers` is added as the last keyword-only parameter.
template <auto Loop, class ParamList, class OutList, class Check = NoCheck, class... Arguments>
void define(nb::module_& module, const char* name, const char* doc, const Arguments&... arguments) {
    using F = detail::Function<Loop, ParamList, OutList, Check>;
    // The names live in F: one loop with the same parameters is bound once.
    if (F::name != nullptr) throw std::logic_error(std::string("batch function defined twice: ") + name);
    static_assert(sizeof...(Arguments) - (std::is_same_v<Arguments, nb::kw_only> + ... + 0) == F::arity,
                  "one nb::arg per parameter");
    const auto types = []<class... Kinds>(Params<Kinds...>) {
        return std::array<const char*, sizeof...(Kinds)>{Kinds::type...};
    }(ParamList{});
    detail::Signature signature{"", {}, types.data()};
    (signature.add(arguments), ...);
    std::copy(signature.names.begin(), signature.names.end(), F::names.begin());
    F::name = name;

    const std::string result = []<class... Outputs>(Outs<Outputs...>) {
        if constexpr (sizeof...(Outputs) == 1) {
            return std::string((Outputs::type, ...));
        } else {
            std::string text = "tuple[";
            ((text += std::string(Outputs::type) + ", "), ...);
            return text.substr(0, text.size() - 2) + "]";
        }
    }(OutList{});
    const std::string text = "def " + std::string(name) + "(" + signature.text.substr(2) +
                             (signature.keyword_only ? ", " : ", *, ") + "workers: int = 1) -> " + result;
    using namespace nb::literals;
    if constexpr ((std::is_same_v<Arguments, nb::kw_only> || ...)) {
        module.def(name, &F::call, arguments..., "workers"_a = 1, nb::sig(text.c_str()), doc);
    } else {
        module.def(name, &F::call, arguments..., nb::kw_only(), "workers"_a = 1, nb::sig(text.c_str()), doc);
    }
    detail::defined_names().push_back(name);
}

}  // namespace velmora::batch_module
