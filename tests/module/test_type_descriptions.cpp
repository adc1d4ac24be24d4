// The type descriptions' registries as a stub generator sees them: what the
// load-time constructors linked and in which order, every method's rendered
// signature and imports, the defaults' texts, and the registry's push under
// contention.

#include <cstdio>
#include <cstdlib>
#include <latch>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "module/type_descriptions.hpp"
#include "support/check.hpp"

namespace {

using namespace velmora::module::types;
using velmora::module::OwnedRef;

std::string joined(const std::set<std::string>& modules) {
    std::string out;
    for (const std::string& module : modules) out += (out.empty() ? "" : " ") + module;
    return out;
}

// "name: type = default; ..." as a stub would spell the parameters.
std::string rendered_parameters(const MethodDescription& method, std::set<std::string>& imports) {
    std::string out;
    for (const ParameterDescription& parameter : method.parameters) {
        const TypeExpression type = parameter.type();
        imports.insert(type.modules.begin(), type.modules.end());
        if (!out.empty()) out += "; ";
        out += std::string(parameter.name) + ": " + type.text;
        if (parameter.default_text != nullptr) out += " = " + std::string(parameter.default_text->text());
    }
    return out;
}

const MethodSetDescription& arm_method_set() {
    const ClassDescription* arm = nullptr;
    for (const ClassDescription& description : class_registry()) {
        if (std::string_view(description.name) == "VelmoraArmKinematics") arm = &description;
    }
    for (const MethodSetDescription& description : method_set_registry()) {
        if (arm != nullptr && description.key == arm->key) return description;
    }
    std::fprintf(stderr, "no method set for VelmoraArmKinematics\n");
    std::exit(1);
}

// Runs first: nothing has needed an interpreter yet, and a default's text starts one.
void a_default_text_starts_an_interpreter() {
    VT_CHECK(!Py_IsInitialized());
    const MethodSetDescription& arm = arm_method_set();
    VT_CHECK(arm.methods[0].parameters[0].default_text->text() == "0.7");
    VT_CHECK(Py_IsInitialized());
}

void registries_list_the_neck_before_the_arm() {
    std::vector<const ClassDescription*> classes;
    for (const ClassDescription& description : class_registry()) classes.push_back(&description);
    std::vector<const MethodSetDescription*> method_sets;
    for (const MethodSetDescription& description : method_set_registry()) method_sets.push_back(&description);

    if (!VT_CHECK(classes.size() == 2) || !VT_CHECK(method_sets.size() == 2)) return;
    const char* expected[] = {"VelmoraNeckKinematics", "VelmoraArmKinematics"};
    for (std::size_t i = 0; i < 2; ++i) {
        const ClassDescription& description = *classes[i];
        VT_CHECK_MSG(std::string_view(description.name) == expected[i], description.name);
        VT_CHECK(std::string_view(description.module) == "velmora_torso_kinematics");
        VT_CHECK(*description.docstring == '\0');
        VT_CHECK(description.attributes.empty() && description.class_attributes.empty());
        VT_CHECK_MSG(method_sets[i]->key == description.key, expected[i]);
        VT_CHECK(method_sets[i]->attributes.empty());
    }
    VT_CHECK(classes[0]->key != classes[1]->key);
}

struct MethodCase {
    const char* name;
    MethodKind kind;
    const char* parameters;
    const char* result;
    const char* imports;
    const char* docstring_start;  // "" for an empty docstring
};

using enum MethodKind;
constexpr const char* mat3_in = "typing.Sequence[typing.Sequence[builtins.float]]";
constexpr const char* mat3_out = "builtins.list[builtins.list[builtins.float]]";
constexpr const char* pair = "tuple[builtins.float, builtins.float]";
constexpr const char* joints = "theta_a: builtins.float; theta_b: builtins.float";

const MethodCase arm_cases[] = {
    {"__new__", constructor,
     "arm_arc: builtins.float = 0.7; coupler_arc: builtins.float = 0.5; mirror: builtins.bool = False",
     "VelmoraArmKinematics", "builtins velmora_torso_kinematics",
     "Create an arm with explicit geometry parameters.\n\n- `arm_arc`: arc length"},
    {"default_left", static_method, "", "VelmoraArmKinematics", "velmora_torso_kinematics",
     "Build the default left-arm"},
    {"default_right", static_method, "", "VelmoraArmKinematics", "velmora_torso_kinematics",
     "Build the default right-arm"},
    {"from_json", static_method, "json: builtins.str", "VelmoraArmKinematics",
     "builtins velmora_torso_kinematics", "Build the arm from a JSON string"},
    {"fk", instance, joints, mat3_out, "builtins", "Forward kinematics: "},
    {"ik", instance, "r_target: typing.Sequence[typing.Sequence[builtins.float]]", pair,
     "builtins typing", "Inverse kinematics: 3"},
    {"ik_from_direction", instance,
     "v3: typing.Sequence[builtins.float]; near: typing.Optional[tuple[builtins.float, builtins.float]] = None",
     pair, "builtins typing", "Inverse kinematics from just"},
    {"direction", instance, joints, "builtins.list[builtins.float]", "builtins",
     "Forward kinematics that returns"},
    {"is_reachable_joints", instance, joints, "builtins.bool", "builtins", "Whether `("},
    {"is_reachable_orientation", instance, "r_target: typing.Sequence[typing.Sequence[builtins.float]]",
     "builtins.bool", "builtins typing", "Whether `r_target`"},
    {"is_reachable_direction", instance, "v3: typing.Sequence[builtins.float]", "builtins.bool",
     "builtins typing", "Whether the pointing direction"},
    {"arm_arc", instance, "", "builtins.float", "builtins", ""},
    {"coupler_arc", instance, "", "builtins.float", "builtins", ""},
    {"mirror", instance, "", "builtins.bool", "builtins", ""},
};

const MethodCase neck_cases[] = {
    {"__new__", constructor, "", "VelmoraNeckKinematics", "velmora_torso_kinematics", ""},
    {"fk", instance, "joints: typing.Sequence[builtins.float]", mat3_out, "builtins typing",
     "Forward kinematics. `joints"},
    {"ik", instance, "r: typing.Sequence[typing.Sequence[builtins.float]]",
     "tuple[builtins.float, builtins.float, builtins.float]", "builtins typing", "Inverse kinematics. `r`"},
};

void check_methods(const MethodSetDescription& set, std::span<const MethodCase> cases, const char* owner) {
    if (!VT_CHECK_MSG(set.methods.size() == cases.size(), std::string(owner) + ": method count")) return;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const MethodCase& expected = cases[i];
        const MethodDescription& method = set.methods[i];
        const std::string where = std::string(owner) + "." + expected.name + ": ";
        VT_CHECK_MSG(std::string_view(method.name) == expected.name, where + "name is " + method.name);
        VT_CHECK_MSG(method.kind == expected.kind, where + "kind");
        std::set<std::string> imports;
        const std::string parameters = rendered_parameters(method, imports);
        VT_CHECK_MSG(parameters == expected.parameters, where + "parameters " + parameters);
        const TypeExpression result = method.result();
        imports.insert(result.modules.begin(), result.modules.end());
        VT_CHECK_MSG(result.text == expected.result, where + "result " + result.text);
        VT_CHECK_MSG(joined(imports) == expected.imports, where + "imports " + joined(imports));
        const std::string_view docstring = method.docstring;
        const std::string_view start = expected.docstring_start;
        VT_CHECK_MSG(start.empty() ? docstring.empty() : docstring.starts_with(start), where + "docstring");
    }
}

void methods_come_in_table_order_with_their_types() {
    auto set = method_set_registry().begin();
    check_methods(*set, neck_cases, "VelmoraNeckKinematics");
    check_methods(*++set, arm_cases, "VelmoraArmKinematics");
}

void default_texts_are_computed_once() {
    const MethodSetDescription& arm = arm_method_set();
    const ParameterDescription* const defaulted[] = {
        &arm.methods[0].parameters[0], &arm.methods[0].parameters[1], &arm.methods[0].parameters[2],
        &arm.methods[6].parameters[1]};
    const char* expected[] = {"0.7", "0.5", "False", "None"};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string_view first = defaulted[i]->default_text->text();
        VT_CHECK_MSG(first == expected[i], std::string(defaulted[i]->name) + " = " + std::string(first));
        VT_CHECK_MSG(defaulted[i]->default_text->text().data() == first.data(), "kept, not recomputed");
    }
}

PyObject* make_nan() { return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()); }
PyObject* make_infinity() { return PyFloat_FromDouble(std::numeric_limits<double>::infinity()); }
PyObject* make_object() { return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)); }
PyObject* make_large() { return PyFloat_FromDouble(1e300); }
PyObject* make_negative_zero() { return PyFloat_FromDouble(-0.0); }
PyObject* make_text() { return PyUnicode_FromString("it's"); }
PyObject* make_pair() { return Py_BuildValue("(id)", 1, 2.5); }
// A repr that reads back as a literal, but as a value unequal to the object.
PyObject* make_impostor() {
    const OwnedRef globals(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    const OwnedRef defined(PyRun_String("class Impostor:\n    def __repr__(self): return '0'\n",
                                        Py_file_input, globals.get(), globals.get()));
    PyObject* impostor_class = defined ? PyDict_GetItemString(globals.get(), "Impostor") : nullptr;
    return impostor_class != nullptr ? PyObject_CallNoArgs(impostor_class) : nullptr;
}
PyObject* make_failure() {
    PyErr_SetString(PyExc_RuntimeError, "no value");
    return nullptr;
}

void defaults_without_a_faithful_literal_are_elided() {
    struct Case {
        const char* what;
        DefaultText::MakeValue make;
        const char* expected;
    };
    const Case cases[] = {
        {"nan", make_nan, "..."},
        {"infinity", make_infinity, "..."},
        {"object()", make_object, "..."},
        {"a value that cannot be made", make_failure, "..."},
        {"a repr that reads back unequal", make_impostor, "..."},
        {"1e300", make_large, "1e+300"},
        {"-0.0", make_negative_zero, "-0.0"},
        {"a str", make_text, "\"it's\""},
        {"a tuple", make_pair, "(1, 2.5)"},
    };
    for (const Case& c : cases) {
        DefaultText text(c.make);
        const std::string_view got = text.text();
        VT_CHECK_MSG(got == c.expected, std::string(c.what) + " -> " + std::string(got));
    }

    // A caller's pending exception survives; the computation's own do not leak.
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyErr_SetString(PyExc_KeyError, "the caller's");
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(pending));
    DefaultText failing(make_failure);
    VT_CHECK(failing.text() == "...");
    PyObject* after = PyErr_GetRaisedException();
    VT_CHECK_MSG(after == pending, "the caller's exception is still pending");
    Py_XDECREF(after);
    Py_DECREF(pending);
    PyGILState_Release(gil);
}

void concurrent_first_use_computes_one_text() {
    DefaultText shared(make_large);
    std::vector<std::string_view> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = shared.text(); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string_view text : seen) {
        VT_CHECK(text == "1e+300" && text.data() == seen[0].data());
    }
}

void pushes_under_contention_lose_no_node() {
    constexpr int threads_count = 4;
    constexpr int per_thread = 20000;  // enough that the pushes overlap
    std::vector<int> values(threads_count * per_thread);
    std::vector<Registry<int>::Node> nodes;
    nodes.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int>(i);
        nodes.push_back({values[i], nullptr});
    }
    Registry<int> registry;
    std::latch start(threads_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < threads_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int k = 0; k < per_thread; ++k) registry.push(nodes[static_cast<std::size_t>(t * per_thread + k)]);
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<int> order;
    for (const int value : registry) order.push_back(value);
    VT_CHECK_MSG(order.size() == values.size(), "count " + std::to_string(order.size()));
    VT_CHECK(std::set<int>(order.begin(), order.end()).size() == values.size());
    // Each thread's own pushes come out latest first.
    std::vector<int> last_seen(threads_count, per_thread);
    bool each_thread_reversed = true;
    for (const int value : order) {
        const int thread = value / per_thread;
        each_thread_reversed &= value % per_thread < last_seen[static_cast<std::size_t>(thread)];
        last_seen[static_cast<std::size_t>(thread)] = value % per_thread;
    }
    VT_CHECK(each_thread_reversed);
}

}  // namespace

int main() {
    a_default_text_starts_an_interpreter();
    registries_list_the_neck_before_the_arm();
    methods_come_in_table_order_with_their_types();
    default_texts_are_computed_once();
    defaults_without_a_faithful_literal_are_elided();
    concurrent_first_use_computes_one_text();
    pushes_under_contention_lose_no_node();
    return velmora::testing::finish("type descriptions");
}
