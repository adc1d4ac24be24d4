#pragma once
// One call of a batch function: its arguments read, its array inputs
// broadcast to one leading shape, its outputs allocated, its worker count.
//
// Python floats and ints, lists and tuples of them holding one pose, and
// aligned float64 ndarrays (through the buffer protocol) are read where
// they are, and broadcast by giving the loops zero strides; only other array-likes
// (longer lists, other dtypes, unaligned or byte-swapped views, subclasses)
// go through numpy.asarray, once. Errors are NumPy's own
// where NumPy used to raise them, word for word.

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "batch/strided.hpp"
#include "batch_module/arguments.hpp"

namespace velmora::batch_module {

namespace nb = nanobind;

// The trailing dimensions an argument must end with; `any` matches every
// extent (a path's length T).
struct Trailing {
    static constexpr std::int64_t any = -1;
    std::array<std::int64_t, 3> dims{};
    std::size_t count = 0;
    const char* text;  // as messages show it, e.g. "(..., 3, 3)"
};

inline constexpr Trailing scalar{{}, 0, "(...)"};
inline constexpr Trailing vec3{{3}, 1, "(..., 3)"};
inline constexpr Trailing pair{{2}, 1, "(..., 2)"};
inline constexpr Trailing mat3{{3, 3}, 2, "(..., 3, 3)"};
inline constexpr Trailing path{{Trailing::any, 3}, 2, "(..., T, 3)"};
inline constexpr Trailing rotation_path{{Trailing::any, 3, 3}, 3, "(..., T, 3, 3)"};
// One pose and nothing more, as a follower's step takes it.
inline constexpr Trailing one_vec3{{3}, 1, "(3,)"};
inline constexpr Trailing one_mat3{{3, 3}, 2, "(3, 3)"};

// The NumPy objects a call uses, and the arm's class, looked up once when the
// module is imported.
void import_numpy();

class Call {
public:
    // The index of an optional input that was not given.
    static constexpr std::size_t absent = static_cast<std::size_t>(-1);
    // Array arguments one function may take.
    static constexpr std::size_t capacity = 6;

    explicit Call(const char* function) noexcept : arguments_(function) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // The reader of the call's other arguments, which names the function in
    // every message.
    [[nodiscard]] const Arguments& arguments() const noexcept { return arguments_; }

    // Reads an array-like as float64 and checks its trailing shape. Returns
    // its index for view().
    std::size_t input(const char* name, nb::handle value, const Trailing& trailing);

    // Reads one pose of exactly the trailing shape (no leading dimensions), as
    // input() reads an array, into `out` in row-major order: one reader for a
    // follower's step and a batch call, so both take the same inputs and
    // refuse the same ones.
    void pose(const char* name, nb::handle value, const Trailing& trailing, double* out);
    // As pose() on a Call of `function`, without building one for a list or
    // a float64 ndarray of exactly that shape: a follower's step reads one
    // pose a tick, and a whole Call cost as much as the step's kinematics.
    static void read_pose(const char* function, const char* name, nb::handle value, const Trailing& trailing,
                          double* out);

    // The inputs' leading shapes broadcast against each other, with NumPy's
    // rules and errors; afterwards view() and shape() are valid.
    void broadcast();

    [[nodiscard]] const batch::Input& view(std::size_t k) const noexcept { return views_[k]; }
    [[nodiscard]] const batch::Shape& shape() const noexcept { return shape_; }

    // A new C-contiguous array of the leading shape followed by `tail` (where
    // `any` stands for the inputs' free extent T), and where to write it.
    template <class T, std::size_t N>
    T* output(const std::array<std::int64_t, N>& tail, nb::object& array) {
        return static_cast<T*>(allocate(tail.data(), N, dtype_slot<T>(), array));
    }

    // `workers`: 1, -1 for every available core, or n > 1.
    [[nodiscard]] std::int64_t workers(nb::handle value) const;

private:
    // The most doubles a list is read into without NumPy: a 3 x 3 matrix, a
    // path of 16 directions or 5 rotations.
    static constexpr std::size_t inline_values = 48;

    struct Operand {
        Operand() = default;
        Operand(const Operand&) = delete;
        Operand& operator=(const Operand&) = delete;
        ~Operand() { release(); }
        void release() noexcept {
            if (buffer.obj != nullptr) PyBuffer_Release(&buffer);
            buffer.obj = nullptr;
        }

        nb::object converted;  // NumPy's converted copy, when one was made
        Py_buffer buffer{};    // an ndarray read in place (holds it, and so its memory)
        std::array<double, inline_values> values;  // a Python number's or list's values
        std::array<std::int64_t, 3> list_extents, list_strides;
        std::array<std::int64_t, batch::max_dims> buffer_strides;  // the buffer's, in doubles
        const double* data = nullptr;
        std::size_t ndim = 0;
        const std::int64_t* extents = nullptr;
        const std::int64_t* strides = nullptr;  // in doubles
        std::size_t leading = 0;                // ndim minus the trailing dimensions
    };

    template <class T>
    static constexpr int dtype_slot() noexcept;

    static bool read_float64(nb::handle value, Operand& operand);
    static void copy_pose(const Operand& operand, const Trailing& trailing, double* out) noexcept;
    static bool read_list(PyObject* value, const Trailing& trailing, Operand& operand);
    void convert(const char* name, nb::handle value, Operand& operand);
    void* allocate(const std::int64_t* tail, std::size_t count, int dtype, nb::object& array);
    [[noreturn]] void shape_mismatch(std::size_t first, std::size_t second) const;

    Arguments arguments_;
    std::array<Operand, capacity> operands_;
    std::array<batch::Input, capacity> views_;
    std::size_t count_ = 0;
    batch::Shape shape_;
    std::int64_t free_extent_ = 0;  // T, when an input has a dimension of any extent
};

template <>
constexpr int Call::dtype_slot<double>() noexcept { return 0; }
template <>
constexpr int Call::dtype_slot<bool>() noexcept { return 1; }
template <>
constexpr int Call::dtype_slot<std::int64_t>() noexcept { return 2; }
template <>
constexpr int Call::dtype_slot<std::int8_t>() noexcept { return 3; }

}  // namespace velmora::batch_module
