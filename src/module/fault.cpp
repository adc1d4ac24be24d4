#include "module/fault.hpp"

#include <cstdio>
#include <cstdlib>

namespace velmora::module {
namespace {

constexpr const char* fault_class_name = "velmora_torso_kinematics.InternalFault";
constexpr const char* fault_class_doc =
    "Signals a fault inside the velmora_torso_kinematics extension (a broken\n"
    "invariant of its own code, not bad input).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that ordinary `except Exception` handlers do not swallow it: it normally\n"
    "propagates to the top and ends the program.";
constexpr const char* fault_without_text = "internal fault without a message";

OnceObject fault_class;

PyObject* get_fault_class() {
    return fault_class.get_or_init([] {
        return PyErr_NewExceptionWithDoc(fault_class_name, fault_class_doc, PyExc_BaseException,
                                         nullptr);
    });
}

}  // namespace

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_internal_fault(const char* text) noexcept {
    try {
        // Keep whatever the interpreter had pending as the fault's context.
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* cls = get_fault_class();
        if (cls == nullptr) abort_at_boundary();
        const OwnedRef message(PyUnicode_FromString(text != nullptr ? text : fault_without_text));
        if (!message) abort_at_boundary();
        PyObject* fault = PyObject_CallOneArg(cls, message.get());
        if (fault == nullptr) abort_at_boundary();
        if (pending != nullptr) PyException_SetContext(fault, pending);
        PyErr_SetRaisedException(fault);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace velmora::module
