#include "batch_module/call.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "batch/parallel.hpp"

namespace velmora::batch_module {
namespace {

// NumPy's functions, types and dtypes, and the arm's class: strong references
// taken when the module is imported and kept for the life of the process.
struct Imported {
    PyObject* asarray = nullptr;
    PyObject* array = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64_type = nullptr;    // numpy.float64, as `dtype=` is given
    PyTypeObject* ndarray = nullptr;     // exactly numpy.ndarray
    PyTypeObject* float64_scalar = nullptr;
    PyObject* dtype_keyword = nullptr;   // ("dtype",), the keyword names of a vectorcall
    std::array<PyObject*, 4> dtypes{};   // by Call::dtype_slot
    PyTypeObject* arm_class = nullptr;
    bool array_fields = false;           // ArrayFields matched NumPy's layout on probe arrays
};

Imported imported;

// The head of NumPy's array object as its C API lays it out
// (PyArrayObject_fields), on which compiled extensions rely across NumPy
// versions. import_numpy() checks it against the buffer protocol on probe
// arrays and leaves it unused if anything differs. Read only where the lock is
// held and no Python code runs before the values are copied (a follower's
// step): nothing else could resize the array meanwhile.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;  // in bytes
    PyObject* base;
    PyObject* descr;
};

// Whether `array`'s fields say what its buffer says: data, dimensions, strides
// and the float64 dtype. Each pointer is followed only once the fields before
// it matched.
bool fields_match(PyObject* array) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(array);
    bool same = fields->data == view.buf && fields->nd == view.ndim && fields->descr == imported.dtypes[0];
    for (int d = 0; same && d < view.ndim; ++d)
        same = fields->dimensions[d] == view.shape[d] && fields->strides[d] == view.strides[d];
    PyBuffer_Release(&view);
    return same;
}

// One pose of exactly the trailing shape from an aligned native float64
// ndarray, through its fields: false (nothing read) for any other.
bool read_array_fields(PyObject* value, const Trailing& trailing, double* out) noexcept {
    if (!imported.array_fields || Py_TYPE(value) != imported.ndarray || trailing.count > 2) return false;
    const auto* fields = reinterpret_cast<const ArrayFields*>(value);
    if (fields->descr != imported.dtypes[0] || fields->nd != static_cast<int>(trailing.count) ||
        reinterpret_cast<std::uintptr_t>(fields->data) % alignof(double) != 0)
        return false;
    constexpr auto size = static_cast<Py_ssize_t>(sizeof(double));
    std::array<Py_ssize_t, 2> stride{0, 0};
    for (std::size_t d = 0; d < trailing.count; ++d) {
        if (fields->dimensions[d] != trailing.dims[d] || fields->strides[d] % size != 0) return false;
        stride[d] = fields->strides[d] / size;
    }
    const auto* data = reinterpret_cast<const double*>(fields->data);
    const Py_ssize_t rows = trailing.count == 2 ? trailing.dims[0] : 1;
    const Py_ssize_t columns = trailing.dims[trailing.count - 1];
    const Py_ssize_t row_stride = trailing.count == 2 ? stride[0] : 0;
    const Py_ssize_t column_stride = stride[trailing.count - 1];
    for (Py_ssize_t i = 0; i < rows; ++i)
        for (Py_ssize_t j = 0; j < columns; ++j) *out++ = data[i * row_stride + j * column_stride];
    return true;
}

// PyObject_GetAttrString, not nanobind's attr(): the names stay temporary
// strings instead of joining the interpreter's interned (immortal) ones.
PyObject* take(nb::handle module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module.ptr(), name);
    if (value == nullptr) throw nb::python_error();
    return value;
}

std::string text_of(nb::handle value) { return nb::str(value).c_str(); }

// A shape as Python writes a tuple: (), (2,), (2, 3).
std::string shape_text(const std::int64_t* extents, std::size_t count) {
    std::string text = "(";
    for (std::size_t d = 0; d < count; ++d) text += (d > 0 ? ", " : "") + std::to_string(extents[d]);
    return text + (count == 1 ? ",)" : ")");
}

// The product of the extents, or nothing when it passes NumPy's index range;
// a zero extent anywhere makes it zero, as NumPy counts.
std::optional<std::int64_t> element_count(const std::int64_t* extents, std::size_t count,
                                          const std::int64_t* more = nullptr, std::size_t more_count = 0) {
    for (std::size_t d = 0; d < count; ++d)
        if (extents[d] == 0) return 0;
    for (std::size_t d = 0; d < more_count; ++d)
        if (more[d] == 0) return 0;
    std::int64_t product = 1;
    for (std::size_t d = 0; d < count + more_count; ++d) {
        const std::int64_t extent = d < count ? extents[d] : more[d - count];
        if (__builtin_mul_overflow(product, extent, &product)) return std::nullopt;
    }
    return product;
}

nb::object call_numpy(PyObject* function, PyObject* value, PyObject* dtype) {
    PyObject* arguments[] = {nullptr, value, dtype};
    const std::size_t positional = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
    PyObject* result = PyObject_Vectorcall(function, arguments + 1, positional,
                                           dtype != nullptr ? imported.dtype_keyword : nullptr);
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace

void import_numpy() {
    const nb::module_ numpy = nb::module_::import_("numpy");
    imported.asarray = take(numpy, "asarray");
    imported.array = take(numpy, "array");
    imported.empty = take(numpy, "empty");
    imported.float64_type = take(numpy, "float64");
    imported.float64_scalar = reinterpret_cast<PyTypeObject*>(imported.float64_type);
    imported.ndarray = reinterpret_cast<PyTypeObject*>(take(numpy, "ndarray"));
    imported.dtype_keyword = nb::make_tuple("dtype").release().ptr();
    const nb::object dtype = nb::steal(take(numpy, "dtype"));
    const char* names[] = {"float64", "bool", "int64", "int8"};
    for (std::size_t k = 0; k < imported.dtypes.size(); ++k) imported.dtypes[k] = dtype(names[k]).release().ptr();
    // Probes of two layouts, C order and transposed: the fields are read only if both agree.
    const nb::object probe = numpy.attr("ones")(nb::make_tuple(2, 3));
    imported.array_fields = fields_match(probe.ptr()) && fields_match(probe.attr("T").ptr());
    nb::object arm = nb::steal(take(nb::module_::import_("velmora_torso_kinematics"), "VelmoraArmKinematics"));
    if (!PyType_Check(arm.ptr())) throw nb::type_error("velmora_torso_kinematics.VelmoraArmKinematics is not a class");
    imported.arm_class = reinterpret_cast<PyTypeObject*>(arm.release().ptr());
}

PyTypeObject* arm_class() noexcept { return imported.arm_class; }

namespace {

// A number as NumPy converts it to float64: floats as they are; ints (and
// bools) that fit in int64 to the nearest double, as NumPy's int64 cast and
// Python's float() both round. Larger ints, which NumPy holds as uint64 or
// objects, and every other type take NumPy's path.
bool read_number(PyObject* object, double& out) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyFloat_Type || type == imported.float64_scalar) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (type != &PyLong_Type && type != &PyBool_Type) return false;
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0 || (integer == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<double>(integer);
    return true;
}

}  // namespace

std::size_t Call::input(const char* name, nb::handle value, const Trailing& trailing) {
    if (count_ == capacity)
        throw nb::value_error((std::string(arguments_.function()) + "(): too many array arguments").c_str());
    Operand& operand = operands_[count_];
    PyObject* object = value.ptr();
    PyTypeObject* type = Py_TYPE(object);
    if (read_number(object, operand.values[0])) {
        operand.data = operand.values.data();
        operand.ndim = 0;
    } else if (!((type == imported.ndarray && read_float64(value, operand)) || read_list(object, trailing, operand))) {
        convert(name, value, operand);
    }

    bool fits = operand.ndim >= trailing.count;
    const std::size_t leading = fits ? operand.ndim - trailing.count : 0;
    for (std::size_t k = 0; fits && k < trailing.count; ++k)
        fits = trailing.dims[k] == Trailing::any || operand.extents[leading + k] == trailing.dims[k];
    if (!fits)
        throw nb::value_error((arguments_.prefix(name) + "must have shape " + trailing.text + ", not " +
                               shape_text(operand.extents, operand.ndim))
                                  .c_str());
    operand.leading = leading;
    for (std::size_t k = 0; k < trailing.count; ++k)
        if (trailing.dims[k] == Trailing::any) free_extent_ = operand.extents[leading + k];
    return count_++;
}

void Call::copy_pose(const Operand& operand, const Trailing& trailing, double* out) noexcept {
    // Row-major over at most 3 x 3 values, whatever the strides.
    const std::int64_t rows = trailing.count == 2 ? operand.extents[0] : 1;
    const std::int64_t columns = operand.extents[trailing.count - 1];
    const std::int64_t row_stride = trailing.count == 2 ? operand.strides[0] : 0;
    const std::int64_t column_stride = operand.strides[trailing.count - 1];
    for (std::int64_t i = 0; i < rows; ++i)
        for (std::int64_t j = 0; j < columns; ++j) *out++ = operand.data[i * row_stride + j * column_stride];
}

void Call::pose(const char* name, nb::handle value, const Trailing& trailing, double* out) {
    const Operand& operand = operands_[input(name, value, trailing)];
    if (operand.leading != 0)
        throw nb::value_error((arguments_.prefix(name) + "must have shape " + trailing.text + ", not " +
                               shape_text(operand.extents, operand.ndim))
                                  .c_str());
    copy_pose(operand, trailing, out);
}

void Call::read_pose(const char* function, const char* name, nb::handle value, const Trailing& trailing,
                     double* out) {
    if (read_array_fields(value.ptr(), trailing, out)) return;
    Operand operand;
    const bool read = (Py_TYPE(value.ptr()) == imported.ndarray && read_float64(value, operand)) ||
                      read_list(value.ptr(), trailing, operand);
    bool exact = read && operand.ndim == trailing.count;
    for (std::size_t k = 0; exact && k < trailing.count; ++k) exact = operand.extents[k] == trailing.dims[k];
    if (exact) return copy_pose(operand, trailing, out);
    // Anything else is converted, or refused, as a batch call does it.
    Call(function).pose(name, value, trailing, out);
}

// One pose given as (nested) lists or tuples of numbers, exactly the trailing
// shape deep, each number read as read_number() reads it: what NumPy would
// make of it, without NumPy. False (nothing raised) for anything else.
bool Call::read_list(PyObject* value, const Trailing& trailing, Operand& operand) {
    if (trailing.count == 0 || !(PyList_CheckExact(value) || PyTuple_CheckExact(value))) return false;
    // Each level's length: the trailing extent, or for `any` the first list's
    // at that depth. An empty list leaves the extents below it to NumPy.
    std::array<Py_ssize_t, 3> lengths{-1, -1, -1};
    std::size_t next = 0;
    // Borrowed items: reading exact floats and ints runs no Python code, so
    // no list can change under the walk.
    const auto walk = [&](const auto& self, PyObject* level, std::size_t depth) -> bool {
        const bool list = PyList_CheckExact(level);
        if (!list && !PyTuple_CheckExact(level)) return false;
        const Py_ssize_t length = list ? PyList_GET_SIZE(level) : PyTuple_GET_SIZE(level);
        if (lengths[depth] < 0)
            lengths[depth] = trailing.dims[depth] == Trailing::any ? length : trailing.dims[depth];
        if (length != lengths[depth] || length == 0) return false;
        for (Py_ssize_t k = 0; k < length; ++k) {
            PyObject* item = list ? PyList_GET_ITEM(level, k) : PyTuple_GET_ITEM(level, k);
            const bool read = depth + 1 == trailing.count
                                  ? next < inline_values && read_number(item, operand.values[next++])
                                  : self(self, item, depth + 1);
            if (!read) return false;
        }
        return true;
    };
    if (!walk(walk, value, 0)) return false;
    operand.ndim = trailing.count;
    std::int64_t stride = 1;
    for (std::size_t k = trailing.count; k-- > 0;) {
        operand.list_extents[k] = lengths[k];
        operand.list_strides[k] = stride;
        stride *= lengths[k];
    }
    operand.extents = operand.list_extents.data();
    operand.strides = operand.list_strides.data();
    operand.data = operand.values.data();
    return true;
}

// An aligned, native-order float64 ndarray, read in place through the buffer
// protocol: a step of a follower reads one pose per call, and nanobind's
// ndarray import cost more than the step. False (nothing raised) for any
// other, which NumPy then converts.
bool Call::read_float64(nb::handle value, Operand& operand) {
    operand.release();
    Py_buffer& view = operand.buffer;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        view.obj = nullptr;
        return false;
    }
    constexpr const char* native = std::endian::native == std::endian::little ? "<d" : ">d";
    const bool float64 = view.itemsize == sizeof(double) && view.format != nullptr &&
                         (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, native) == 0);
    bool usable = float64 && view.ndim >= 0 && static_cast<std::size_t>(view.ndim) <= batch::max_dims &&
                  reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
    for (int d = 0; usable && d < view.ndim; ++d) usable = view.strides[d] % static_cast<Py_ssize_t>(sizeof(double)) == 0;
    if (!usable) {
        operand.release();
        return false;
    }
    static_assert(sizeof(Py_ssize_t) == sizeof(std::int64_t));
    for (int d = 0; d < view.ndim; ++d)
        operand.buffer_strides[static_cast<std::size_t>(d)] = view.strides[d] / static_cast<Py_ssize_t>(sizeof(double));
    operand.data = static_cast<const double*>(view.buf);
    operand.ndim = static_cast<std::size_t>(view.ndim);
    operand.extents = reinterpret_cast<const std::int64_t*>(view.shape);
    operand.strides = operand.buffer_strides.data();
    return true;
}

void Call::convert(const char* name, nb::handle value, Operand& operand) {
    nb::object array = call_numpy(imported.asarray, value.ptr(), nullptr);
    const nb::object dtype = array.attr("dtype");
    const std::string kind = text_of(dtype.attr("kind"));
    // bool, signed, unsigned, floating: the numbers a scalar call accepts.
    if (kind.size() != 1 || std::strchr("biuf", kind[0]) == nullptr)
        throw nb::type_error(
            (arguments_.prefix(name) + "must hold real numbers, not an array of dtype " + text_of(dtype)).c_str());
    array = call_numpy(imported.asarray, array.ptr(), imported.float64_type);
    operand.converted = array;
    if (read_float64(array, operand)) return;
    // Unaligned data (a float64 view at an odd byte offset) cannot be read
    // as doubles in place: one aligned copy.
    operand.converted = call_numpy(imported.array, array.ptr(), imported.float64_type);
    if (!read_float64(operand.converted, operand))
        throw nb::type_error((arguments_.prefix(name) + "could not be read as float64").c_str());
}

void Call::shape_mismatch(std::size_t first, std::size_t second) const {
    const Operand& a = operands_[first];
    const Operand& b = operands_[second];
    throw nb::value_error(("shape mismatch: objects cannot be broadcast to a single shape.  Mismatch is between arg " +
                           std::to_string(first) + " with shape " + shape_text(a.extents, a.leading) + " and arg " +
                           std::to_string(second) + " with shape " + shape_text(b.extents, b.leading) + ".")
                              .c_str());
}

void Call::broadcast() {
    std::size_t dims = 0;
    for (std::size_t k = 0; k < count_; ++k) dims = std::max(dims, operands_[k].leading);
    // NumPy's order: dimension by dimension, the first input whose extent is
    // not 1 sets it, and the first that differs from it is named with it.
    std::array<std::int64_t, batch::max_dims> extents;
    for (std::size_t d = 0; d < dims && d < batch::max_dims; ++d) {
        std::int64_t extent = 1;
        std::size_t source = 0;
        for (std::size_t k = 0; k < count_; ++k) {
            const Operand& operand = operands_[k];
            if (d + operand.leading < dims) continue;
            const std::int64_t own = operand.extents[d + operand.leading - dims];
            if (own == 1) continue;
            if (extent == 1) {
                extent = own;
                source = k;
            } else if (extent != own) {
                shape_mismatch(source, k);
            }
        }
        extents[d] = extent;
    }
    if (dims > batch::max_dims)
        throw nb::value_error((std::string(arguments_.function()) + "(): too many dimensions").c_str());
    const auto count = element_count(extents.data(), dims);
    if (!count) throw nb::value_error("broadcast dimensions too large.");
    for (std::size_t k = 0; k < count_; ++k) {
        const Operand& operand = operands_[k];
        if (!element_count(extents.data(), dims, operand.extents + operand.leading, operand.ndim - operand.leading))
            throw nb::value_error("iterator is too large");
    }

    shape_.dims = dims;
    shape_.count = *count;
    std::copy_n(extents.begin(), dims, shape_.extents.begin());
    for (std::size_t k = 0; k < count_; ++k) {
        const Operand& operand = operands_[k];
        batch::Input& view = views_[k];
        view.data = operand.data;
        // A dimension the input lacks or holds once is read with stride 0.
        for (std::size_t d = 0; d < dims; ++d) {
            const bool own = d + operand.leading >= dims;
            const std::size_t at = d + operand.leading - dims;
            view.strides[d] = own && operand.extents[at] != 1 ? operand.strides[at] : 0;
        }
        for (std::size_t t = 0; t < operand.ndim - operand.leading && t < view.inner.size(); ++t) {
            view.inner[t] = operand.strides[operand.leading + t];
            view.extent[t] = operand.extents[operand.leading + t];
        }
    }
}

void* Call::allocate(const std::int64_t* tail, std::size_t count, int dtype, nb::object& array) {
    PyObject* shape = PyTuple_New(static_cast<Py_ssize_t>(shape_.dims + count));
    if (shape == nullptr) throw nb::python_error();
    const nb::object owned_shape = nb::steal(shape);
    for (std::size_t d = 0; d < shape_.dims + count; ++d) {
        const std::int64_t extent = d < shape_.dims ? shape_.extents[d] : tail[d - shape_.dims];
        PyObject* item = PyLong_FromLongLong(extent == Trailing::any ? free_extent_ : extent);
        if (item == nullptr) throw nb::python_error();
        PyTuple_SET_ITEM(shape, static_cast<Py_ssize_t>(d), item);
    }
    PyObject* arguments[] = {nullptr, shape, imported.dtypes[static_cast<std::size_t>(dtype)]};
    PyObject* made = PyObject_Vectorcall(imported.empty, arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (made == nullptr) throw nb::python_error();
    array = nb::steal(made);
    // The array owns its memory and is not resized while the call holds it:
    // its address stays valid after the buffer is released.
    Py_buffer buffer;
    if (PyObject_GetBuffer(made, &buffer, PyBUF_WRITABLE) != 0) throw nb::python_error();
    void* data = buffer.buf;
    PyBuffer_Release(&buffer);
    return data;
}

std::int64_t Call::workers(nb::handle value) const {
    // The message is built only when it is raised: on one pose, building it
    // cost as much as the kinematics.
    const auto expected = [&] { return arguments_.prefix("workers") + "must be -1 or a positive integer, not "; };
    if (!PyIndex_Check(value.ptr()))
        throw nb::type_error((expected() + "'" + qualified_type_name(value) + "'").c_str());
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (count == -1 && overflow == 0 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return batch::max_threads;
    if (overflow < 0 || count == 0 || count < -1) throw nb::value_error((expected() + text_of(index)).c_str());
    return count == -1 ? batch::available_cores() : count;
}

}  // namespace velmora::batch_module
