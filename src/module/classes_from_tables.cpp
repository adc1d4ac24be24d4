// The top of the module: both class objects, built from the class tables with
// their stored signatures and method tables.

#include "module/object_layouts.hpp"

#include <array>
#include <string>

#include "module/arm_class.hpp"
#include "module/entry.hpp"
#include "module/fault.hpp"
#include "module/neck_class.hpp"
#include "module/type_descriptions.hpp"

namespace velmora::module {
namespace {

// Instances own nothing that needs releasing; the memory goes back through the
// type's own tp_free.
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // every instance of a heap type holds its class
}

// The stored text signature of a table entry, "fk($self, theta_a, theta_b)",
// followed by the separator at which the interpreter splits it from the docstring.
template <auto& Table, std::size_t Entry>
std::string signature_line(const char* shown_name) {
    constexpr const auto& m = table_entry<Table, Entry>();
    std::string line = std::string(shown_name) + "(";
    if constexpr (std::remove_cvref_t<decltype(m)>::traits::kind == CallKind::instance) {
        line += m.parameters.empty() ? "$self" : "$self, ";
    }
    for (std::size_t i = 0; i < m.parameters.size(); ++i) {
        if (i > 0) line += ", ";
        line += m.parameters[i].name;
        if (m.parameters[i].default_value.kind == Default::Kind::required) continue;
        line += "=";
        line += types::default_texts<Table, Entry>[i].text();
    }
    return line + ")\n--\n\n";
}

// A class's stored documentation strings and method table, written once from
// its table and kept for the process's life: the interpreter keeps pointers
// into both.
template <auto& Table>
struct ClassSurface {
    static constexpr std::size_t count = method_count<Table>;

    std::string class_doc;  // the class's own docstring is empty
    std::array<std::string, count> docs;
    std::array<PyMethodDef, count + 1> methods{};

    ClassSurface() : class_doc(signature_line<Table, 0>(Table.name)) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((docs[I] = signature_line<Table, I + 1>(table_entry<Table, I + 1>().name) +
                        table_entry<Table, I + 1>().docstring,
              methods[I] = method_row<Table, I>(docs[I].c_str())),
             ...);
        }(std::make_index_sequence<count>{});
        methods[count] = {nullptr, nullptr, 0, nullptr};
    }
};

template <auto& Table>
PyTypeObject* create_class_from_table() {
    using Instance = typename std::remove_cvref_t<decltype(Table)>::instance;
    static ClassSurface<Table> surface;
    return create_class(PythonClass<Instance>::qualified_name.data(), sizeof(Instance), surface.class_doc.c_str(),
                        constructor_slot<Table>, surface.methods.data());
}

OnceObject arm_class_object;
OnceObject neck_class_object;

}  // namespace

PyTypeObject* create_class(const char* qualified_name, std::size_t basic_size, const char* doc,
                           newfunc constructor, PyMethodDef* methods) {
    // The interpreter copies the slots and the docstring; the method table must outlive the type.
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(constructor)},
        {Py_tp_methods, methods},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance)},
        {0, nullptr},
    };
    PyType_Spec spec = {qualified_name, static_cast<int>(basic_size), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* require_type(PyTypeObject* (*get_or_null)(), const char* class_name) {
    PyTypeObject* type = get_or_null();
    if (type == nullptr) {
        PyErr_PrintEx(0);
        throw InternalFault(std::string("failed to create type object for ") + class_name);
    }
    return type;
}

PyTypeObject* arm_type_or_null() {
    return arm_class_object.get_or_init_type([] { return create_class_from_table<arm_class::table>(); });
}

PyTypeObject* neck_type_or_null() {
    return neck_class_object.get_or_init_type([] { return create_class_from_table<neck_class::table>(); });
}

}  // namespace velmora::module
