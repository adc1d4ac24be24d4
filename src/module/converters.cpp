#include "module/converters.hpp"

#include <bit>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "module/fault.hpp"

namespace velmora::module {
namespace {

// The type's __qualname__, or a fixed text when it cannot be had.
OwnedRef type_name_of(PyObject* object) {
    OwnedRef name(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        name.reset(PyUnicode_FromString("<failed to extract type name>"));
    }
    return name;
}

// Whether the type's module is "numpy" and its name one of `names`, read
// without importing NumPy.
bool is_numpy_type_named(PyTypeObject* type, std::initializer_list<const char*> names) {
    const OwnedRef module_name(PyType_GetModuleName(type));
    const OwnedRef name(module_name ? PyType_GetName(type) : nullptr);
    if (!module_name || !name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_EqualToUTF8(module_name.get(), "numpy")) return false;
    for (const char* wanted : names) {
        if (PyUnicode_EqualToUTF8(name.get(), wanted)) return true;
    }
    return false;
}

bool is_numpy_bool_type(PyTypeObject* type) { return is_numpy_type_named(type, {"bool_", "bool"}); }

// NumPy's array type once one of its instances has been seen; a strong
// reference, so the address can never be reused by another type. The module
// lives in one interpreter only, so one pointer serves every call.
PyTypeObject* numpy_array_type = nullptr;

// Whether the object is an exact numpy.ndarray. Only a static (non-heap) type
// counts: NumPy's own is one, and a Python class cannot pass for it by
// renaming itself. Until an array has been seen, only objects exporting a
// buffer have their type's names read.
bool is_exact_numpy_array(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (numpy_array_type != nullptr) return type == numpy_array_type;
    if (!PyObject_CheckBuffer(object) || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0 ||
        !is_numpy_type_named(type, {"ndarray"})) {
        return false;
    }
    numpy_array_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    return true;
}

// The element kind of a buffer format that reads as a native double or float.
// '@' and '=' are native order (the sizes of 'd' and 'f' are the same in both),
// and so is the explicit mark of the machine's own order; any other prefix or
// code leaves the array to the generic path.
enum class NativeFloat { none, float64, float32 };

NativeFloat native_float_format(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return NativeFloat::none;
    constexpr char own_order = std::endian::native == std::endian::little ? '<' : '>';
    if (format[0] == '@' || format[0] == '=' || format[0] == own_order) ++format;
    if (format[0] == '\0' || format[1] != '\0') return NativeFloat::none;
    if (format[0] == 'd' && itemsize == sizeof(double)) return NativeFloat::float64;
    if (format[0] == 'f' && itemsize == sizeof(float)) return NativeFloat::float32;
    return NativeFloat::none;
}

double read_element(const char* at, NativeFloat kind) {
    if (kind == NativeFloat::float64) {
        double value;
        std::memcpy(&value, at, sizeof value);  // NumPy arrays need not be aligned
        return value;
    }
    float value;
    std::memcpy(&value, at, sizeof value);
    return static_cast<double>(value);  // exact: every float is a double
}

// Reads an exact float64 or float32 ndarray of shape (3,) into a Vec3's
// three doubles, or of shape (3, 3) into a Mat3, straight from its memory
// (strides honoured). Returns false, with no exception pending, for any other
// object, which then takes the generic path: for these arrays both give the
// same doubles, since indexing would yield NumPy scalars holding these values.
template <class Out>
bool read_float_array(PyObject* object, Out& out) {
    constexpr bool is_matrix = std::is_same_v<Out, Mat3>;
    constexpr int ndim = is_matrix ? 2 : 1;
    if (!is_exact_numpy_array(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();  // an array without a plain buffer still converts the long way
        return false;
    }
    const NativeFloat kind = native_float_format(view.format, view.itemsize);
    const bool fits = kind != NativeFloat::none && view.ndim == ndim && view.shape != nullptr &&
                      view.strides != nullptr && view.shape[0] == 3 && (!is_matrix || view.shape[1] == 3);
    if (fits) {
        const char* base = static_cast<const char*>(view.buf);
        const Py_ssize_t column_step = view.strides[ndim - 1];
        auto read_row = [&](const char* row, std::array<double, 3>& into) {
            for (Py_ssize_t j = 0; j < 3; ++j) into[j] = read_element(row + j * column_step, kind);
        };
        if constexpr (is_matrix) {
            for (Py_ssize_t i = 0; i < 3; ++i) read_row(base + i * view.strides[0], out[i]);
        } else {
            read_row(base, out);
        }
    }
    PyBuffer_Release(&view);
    return fits;
}

// Item k of a sequence, as `obj[k]` would give it. Exact lists and tuples are
// read directly (no user code can differ from the generic path there).
PyObject* fetch_item(PyObject* sequence, Py_ssize_t k) {
    if (PyTuple_CheckExact(sequence)) return Py_NewRef(PyTuple_GET_ITEM(sequence, k));
    if (PyList_CheckExact(sequence)) return PyList_GetItemRef(sequence, k);
    const OwnedRef key(PyLong_FromSsize_t(k));
    if (!key) return nullptr;
    return PyObject_GetItem(sequence, key.get());
}

// A sequence of exactly three items, each handed to `each(k, item)` in order;
// item k+1 is fetched only after item k converted.
template <class Each>
bool for_three_items(PyObject* object, Each each) {
    if (!PySequence_Check(object)) return fail_cannot_convert(object, "Sequence");
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) return false;
    if (length != 3) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 3 (got %zd)", length);
        return false;
    }
    for (Py_ssize_t k = 0; k < 3; ++k) {
        const OwnedRef item(fetch_item(object, k));
        if (!item || !each(k, item.get())) return false;
    }
    return true;
}

// Lists and tuples, the common arguments, are never arrays: they skip the
// array check, and a list call costs what it did before arrays were read.
bool is_list_or_tuple(PyObject* object) noexcept { return PyList_CheckExact(object) || PyTuple_CheckExact(object); }

bool convert_three(PyObject* object, std::array<double, 3>& out) {
    if (!is_list_or_tuple(object) && read_float_array(object, out)) return true;
    return for_three_items(object, [&](Py_ssize_t k, PyObject* item) { return convert(item, out[k]); });
}

OwnedRef checked(PyObject* made) {
    if (made == nullptr) throw InternalFault("failed to allocate a result object");
    return OwnedRef(made);
}

PyObject* float_list(const std::array<double, 3>& values) {
    OwnedRef list = checked(PyList_New(3));
    for (Py_ssize_t k = 0; k < 3; ++k) PyList_SET_ITEM(list.get(), k, to_python(values[k]));
    return list.release();
}

}  // namespace

bool fail_cannot_convert(PyObject* object, const char* target) {
    const OwnedRef name = type_name_of(object);
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return false;
}

bool convert(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
    out = value;
    return true;
}

bool convert(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) return fail_cannot_convert(object, "PyBool");
    const auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        return false;
    }
    const int result = truth(object);
    if (result < 0) return false;
    out = result != 0;
    return true;
}

bool convert(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) return fail_cannot_convert(object, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert(PyObject* object, Vec3& out) {
    std::array<double, 3> xyz{};
    if (!convert_three(object, xyz)) return false;
    out = {xyz[0], xyz[1], xyz[2]};
    return true;
}

bool convert(PyObject* object, Mat3& out) {
    Mat3 rows{};
    if (!is_list_or_tuple(object) && read_float_array(object, rows)) {
        out = rows;
        return true;
    }
    if (!for_three_items(object, [&](Py_ssize_t i, PyObject* row) { return convert_three(row, rows[i]); })) {
        return false;
    }
    out = rows;
    return true;
}

bool convert(PyObject* object, std::optional<JointPair>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    if (!PyTuple_Check(object)) return fail_cannot_convert(object, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
        return false;
    }
    JointPair pair{};
    if (!convert(PyTuple_GET_ITEM(object, 0), pair.theta_a) ||
        !convert(PyTuple_GET_ITEM(object, 1), pair.theta_b)) {
        return false;
    }
    out = pair;
    return true;
}

void name_argument_in_type_error(const char* parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    const OwnedRef original(raised);
    const OwnedRef message(PyObject_Str(raised));
    if (!message) return;  // the failure of str() is what the caller sees
    PyObject* cause = PyException_GetCause(raised);
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, message.get());
    if (cause != nullptr) {
        PyObject* renamed = PyErr_GetRaisedException();
        PyException_SetCause(renamed, cause);  // steals `cause`
        PyErr_SetRaisedException(renamed);
    }
}

PyObject* to_python(double value) { return checked(PyFloat_FromDouble(value)).release(); }

PyObject* to_python(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(const Vec3& value) { return float_list({value.x, value.y, value.z}); }

PyObject* to_python(const Mat3& value) {
    OwnedRef rows = checked(PyList_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(rows.get(), i, float_list(value[i]));
    return rows.release();
}

PyObject* to_python(const JointPair& value) {
    OwnedRef pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, to_python(value.theta_a));
    PyTuple_SET_ITEM(pair.get(), 1, to_python(value.theta_b));
    return pair.release();
}

PyObject* float_tuple(const std::array<double, 3>& values) {
    OwnedRef tuple = checked(PyTuple_New(3));
    for (Py_ssize_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(tuple.get(), k, to_python(values[k]));
    return tuple.release();
}

}  // namespace velmora::module
