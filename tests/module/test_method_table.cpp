// The class tables' compile-time checks: a table that describes its bodies
// wrongly does not compile. Every case is a static_assert; the program only
// reports that it was built.

#include <cstdio>
#include <optional>

#include "module/method_table.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace table_cases {

using namespace velmora::module;

// Bodies of every shape the checks tell apart; declared only, never called.
Returns<ArmObject> construct(PyTypeObject*, std::optional<double>, std::optional<bool>);
Returns<double> two(const ArmObject&, double, double);
Returns<double> near(const ArmObject&, double, const std::optional<velmora::JointPair>&);
Returns<double> neck_method(const NeckObject&, double);
Returns<ArmObject> make(double);
Returns<double> none(const ArmObject&);

// A method can be described only with one parameter per parameter of the body.
template <auto Body, std::size_t N>
constexpr bool describable = requires(const Parameter (&parameters)[N]) { method<Body>("f", parameters, ""); };
static_assert(describable<two, 2> && !describable<two, 1> && !describable<two, 3>);
template <auto Body>
constexpr bool describable_bare = requires { method<Body>("f", ""); };
static_assert(!describable<none, 1> && describable_bare<none> && !describable_bare<two>);

constexpr auto new_arm = method<construct>("__new__", {{"a", defaults_to(1.0)}, {"b", defaults_to(false)}}, "");

// One row per rule: the table, and whether it passes.
struct Row {
    const char* rule;
    bool passes;
    bool expected;
};

constexpr Row rows[] = {
    {"well formed", table_is_well_formed(class_table<ArmObject>(new_arm, method<two>("f", {"x", "y"}, ""),
                                                                method<near>("g", {"v", {"near", defaults_to_none}}, ""),
                                                                method<make>("h", {"k"}, ""), method<none>("i", ""))),
     true},
    {"required after a default",
     table_is_well_formed(class_table<ArmObject>(
         method<construct>("__new__", {{"a", defaults_to(1.0)}, "b"}, ""))),
     false},
    {"default where the body takes no optional",
     table_is_well_formed(class_table<ArmObject>(new_arm, method<two>("f", {"x", {"y", defaults_to(2.0)}}, ""))),
     false},
    {"optional without a default", table_is_well_formed(class_table<ArmObject>(new_arm, method<near>("g", {"v", "near"}, ""))),
     false},
    {"repeated parameter name", table_is_well_formed(class_table<ArmObject>(new_arm, method<two>("f", {"x", "x"}, ""))),
     false},
    {"empty parameter name", table_is_well_formed(class_table<ArmObject>(new_arm, method<two>("f", {"x", ""}, ""))),
     false},
    {"repeated method name",
     table_is_well_formed(class_table<ArmObject>(new_arm, method<two>("f", {"x", "y"}, ""), method<none>("f", ""))),
     false},
    {"another class's method",
     table_is_well_formed(class_table<ArmObject>(new_arm, method<neck_method>("f", {"x"}, ""))), false},
    {"constructor under another name",
     table_is_well_formed(class_table<ArmObject>(
         method<construct>("make", {{"a", defaults_to(1.0)}, {"b", defaults_to(false)}}, ""))),
     false},
    {"no constructor first", table_is_well_formed(class_table<ArmObject>(method<make>("__new__", {"k"}, ""))), false},
    {"two constructors", table_is_well_formed(class_table<ArmObject>(new_arm, new_arm)), false},
};

constexpr bool every_row_as_expected() {
    for (const Row& row : rows) {
        if (row.passes != row.expected) return false;
    }
    return true;
}
static_assert(every_row_as_expected());

// The binder's description follows the table: names in order, required count.
constexpr auto table = class_table<ArmObject>(new_arm, method<near>("g", {"v", {"near", defaults_to_none}}, ""));
static_assert(function_description<table, 0>.required == 0 && function_description<table, 1>.required == 1);
static_assert(function_description<table, 1>.parameters.size() == 2 &&
              std::string_view(function_description<table, 1>.parameters[1]) == "near" &&
              std::string_view(function_description<table, 1>.method_name) == "g");

}  // namespace table_cases

int main() {
    std::printf("method tables: %zu compile-time cases held\n", std::size(table_cases::rows));
    return 0;
}
