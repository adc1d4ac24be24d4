#pragma once
// The one place the interpreter's header is included, with its required macro.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace velmora::module {

struct DecRef {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// An owned (strong) reference, released on scope exit.
using OwnedRef = std::unique_ptr<PyObject, DecRef>;

// A process-wide object made once under the interpreter lock. An initialiser
// may let other threads run (allocation can trigger finalisers), so two
// threads may both build one; the first stored wins and the other is released.
class OnceObject {
public:
    template <class Make>
    PyObject* get_or_init(Make make) {
        if (value_ != nullptr) return value_;
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        if (value_ != nullptr) {
            Py_DECREF(made);
            return value_;
        }
        value_ = made;
        return value_;
    }

    // The same for a class object.
    template <class Make>
    PyTypeObject* get_or_init_type(Make make) {
        return reinterpret_cast<PyTypeObject*>(
            get_or_init([&] { return reinterpret_cast<PyObject*>(make()); }));
    }

private:
    PyObject* value_ = nullptr;  // never released: lives until the process ends
};

}  // namespace velmora::module
