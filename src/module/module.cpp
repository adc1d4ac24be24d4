// The module's entry point: single-phase initialisation, one module object
// per process, refused in any interpreter but the first.

#include <atomic>
#include <cstdint>

#include "module/converters.hpp"
#include "module/fault.hpp"
#include "module/object_layouts.hpp"

namespace velmora::module {
namespace {

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> first_interpreter{-1};

OnceObject module_cache;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    "",       // the module's __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr, nullptr, nullptr, nullptr,
};

// API version that PyModule_Create2 is asked for.
constexpr int module_api_version = 1013;

bool register_class(PyObject* module, PyTypeObject* type, const char* name) {
    if (type == nullptr) return false;
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) return fail_cannot_convert(all.get(), "PyList");
    const OwnedRef name_object(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* build_module() {
    OwnedRef module(PyModule_Create2(&module_definition, module_api_version));
    if (!module || !register_class(module.get(), arm_type_or_null(), PythonClass<ArmObject>::name) ||
        !register_class(module.get(), neck_type_or_null(), PythonClass<NeckObject>::name)) {
        return nullptr;
    }
    return module.release();
}

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora_torso_kinematics does not support sub-interpreters: it can be "
                        "imported only in the interpreter that first loaded it");
        return nullptr;
    }
    PyObject* module = module_cache.get_or_init(build_module);
    return module != nullptr ? Py_NewRef(module) : nullptr;
}

}  // namespace

}  // namespace velmora::module

PyMODINIT_FUNC PyInit_velmora_torso_kinematics() {
    return velmora::module::guarded<PyObject*>(velmora::module::initialise);
}
