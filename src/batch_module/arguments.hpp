#pragma once
// Arguments of the batch module that are not arrays (call.hpp reads those,
// through a Call's Arguments): the arm, joint limits, step sizes, distances,
// single poses. Each converter raises the module's TypeError or ValueError,
// naming the function and the argument, and returns plain values.

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "velmora_torso_kinematics/arm_follow.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace velmora::batch_module {

namespace nb = nanobind;

// velmora_torso_kinematics.VelmoraArmKinematics, as import_numpy() found it.
[[nodiscard]] PyTypeObject* arm_class() noexcept;

// The qualified name of value's type, as messages show it.
[[nodiscard]] std::string qualified_type_name(nb::handle value);

// The general arm's geometry, as velmora_torso_batch.FiveBar holds it.
struct FiveBar {
    arm::FiveBarGeometry geometry;
};
// The FiveBar that `value` is, or nullptr.
[[nodiscard]] const FiveBar* five_bar_of(nb::handle value) noexcept;

// One function's arguments, named in messages as "<function>(): '<name>' ...".
class Arguments {
public:
    explicit Arguments(const char* function) noexcept : function_(function) {}

    // The arm's geometry, prepared, from a VelmoraArmKinematics or a FiveBar;
    // neither class can be subclassed, so a type check is the whole check.
    [[nodiscard]] arm::SphericalFiveBar arm(const char* name, nb::handle value) const;
    // A real number, any double.
    [[nodiscard]] double real_number(const char* name, nb::handle value) const {
        return real(name, value, "a real number");
    }
    // None, or ((a_min, a_max), (b_min, b_max)) with usable bounds.
    [[nodiscard]] std::optional<arm::JointLimits> limits(const char* name, nb::handle value) const;
    // None, or ((yaw_min, yaw_max), (pitch_min, pitch_max), (roll_min, roll_max)).
    [[nodiscard]] std::optional<neck::NeckLimits> neck_limits(nb::handle value) const;
    // A real number > 0 and finite: a follower's step.
    [[nodiscard]] double positive(const char* name, nb::handle value) const;
    // None, or a real number > 0 and finite: a limit on the change of a step.
    [[nodiscard]] std::optional<double> positive_or_none(const char* name, nb::handle value) const;
    // A real number >= 0 and finite: a damping.
    [[nodiscard]] double non_negative(const char* name, nb::handle value) const;
    // None, or a number that is neither negative nor NaN: a distance.
    [[nodiscard]] std::optional<double> non_negative_or_none(const char* name, nb::handle value) const;
    // A sequence of exactly N real numbers.
    template <std::size_t N>
    void numbers(const char* name, nb::handle value, double (&out)[N]) const;

    [[noreturn]] void value_error(const char* name, const std::string& must, nb::handle value) const;

    // "f(): 'name' " as every argument's message begins.
    [[nodiscard]] std::string prefix(const char* name) const;
    // The function's name, as messages show it.
    [[nodiscard]] const char* function() const noexcept { return function_; }

private:
    [[nodiscard]] double real(const char* name, nb::handle value, const char* expected) const;
    // Reads `count` pairs of bounds, or raises with the shape in `form`.
    bool bounds(nb::handle value, double* out, std::size_t count) const;

    const char* function_;
};

extern template void Arguments::numbers<2>(const char*, nb::handle, double (&)[2]) const;
extern template void Arguments::numbers<3>(const char*, nb::handle, double (&)[3]) const;

// Parts of the module bound outside module.cpp, each adding its names to __all__.
// The classes ArmFollower and NeckFollower, and the status constants:
void bind_followers(nb::module_& m);
// arm_json(arm): the arm's geometry as its JSON document.
void bind_arm_json(nb::module_& m);
// The class FiveBar.
void bind_five_bar(nb::module_& m);

}  // namespace velmora::batch_module
