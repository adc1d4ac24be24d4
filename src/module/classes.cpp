#include "module/classes.hpp"

#include <string>

#include "module/fault.hpp"

namespace velmora::module {
namespace {

// Instances own nothing that needs releasing; the memory goes back through the
// type's own tp_free.
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // every instance of a heap type holds its class
}

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

}  // namespace velmora::module
