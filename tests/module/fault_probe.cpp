// A test-only extension, never shipped: its functions throw C++ exceptions
// through the same guard as every entry point of the real module, so tests
// can see what an internal fault looks like from Python.

#include <stdexcept>

#include "module/fault.hpp"

namespace {

using velmora::module::guarded;

PyObject* throw_std_exception(PyObject*, PyObject* text) noexcept {
    return guarded<PyObject*>([&]() -> PyObject* {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8 == nullptr) return nullptr;
        throw std::runtime_error(utf8);
    });
}

PyObject* throw_unknown(PyObject*, PyObject*) noexcept {
    return guarded<PyObject*>([]() -> PyObject* { throw 42; });
}

PyMethodDef probe_methods[] = {
    {"throw_std_exception", throw_std_exception, METH_O, "Throw std::runtime_error(text)."},
    {"throw_unknown", throw_unknown, METH_NOARGS, "Throw a non-std exception."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_velmora_fault_probe", "Test-only internal-fault probe.", 0,
    probe_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__velmora_fault_probe() { return PyModule_Create(&probe_module); }
