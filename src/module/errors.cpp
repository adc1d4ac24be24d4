#include "module/errors.hpp"

#include <string>

namespace velmora::module {

PyObject* raise(Failure failure) {
    switch (failure) {
        case Failure::loop_does_not_close:
            PyErr_SetString(PyExc_RuntimeError,
                            "Spherical 5-bar loop does not close: v_2 and v_4 are too far apart for "
                            "the coupler.");
            break;
        case Failure::outside_workspace:
            PyErr_SetString(PyExc_RuntimeError,
                            "Target orientation is outside the spherical 5-bar workspace.");
            break;
        case Failure::gimbal_lock:
            PyErr_SetString(PyExc_ValueError, "Gimbal lock: pitch is too close to \u00b1\u03c0/2.");
            break;
    }
    return nullptr;
}

PyObject* raise_invalid_json(std::string_view reason) {
    std::string message = "Invalid arms.json: ";
    message += reason;
    const OwnedRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                             "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

}  // namespace velmora::module
