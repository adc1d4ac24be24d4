#pragma once
// Arrays of many poses as the batch loops see them: a leading shape shared by
// every operand of one call, inputs as strided views broadcast to it (a zero
// stride repeats an element without copying it), outputs as fresh C-contiguous
// blocks. No Python here: the binding hands over pointers and strides.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "batch/parallel.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::batch {

// NumPy's own limit on dimensions; the walk keeps its index inline so that
// the loops never allocate.
inline constexpr std::size_t max_dims = 64;

// The broadcast shape of the leading dimensions and its element count. Held
// inline, like the inputs' strides, so that a call allocates nothing for them;
// only the first `dims` entries are ever set or read.
struct Shape {
    std::array<std::int64_t, max_dims> extents;
    std::size_t dims = 0;
    std::int64_t count = 0;
};

// One input broadcast to the leading shape. Element k's block of doubles (a
// Vec3, a Mat3, a pair, a path of T directions ...) starts at `data` plus the
// leading offset of k, and its trailing dimensions step by `inner`.
struct Input {
    const double* data = nullptr;
    std::array<std::int64_t, max_dims> strides;  // per leading dimension (Shape::dims), in doubles; 0 where broadcast
    std::array<std::int64_t, 3> inner{};         // trailing dimensions' strides, in doubles
    std::array<std::int64_t, 3> extent{};        // trailing dimensions' extents (a path's T)
};

// Walks K inputs through a range of elements in row-major order, keeping each
// input's offset up to date with an odometer instead of recomputing it.
template <std::size_t K>
class Walk {
public:
    Walk(const Shape& shape, const std::array<const Input*, K>& inputs, std::int64_t start)
        : shape_(shape), inputs_(inputs), dims_(shape.dims) {
        // Unravel `start`, last dimension fastest.
        for (std::size_t d = dims_; d-- > 0;) {
            const std::int64_t extent = shape_.extents[d];
            index_[d] = extent > 0 ? start % extent : 0;
            start = extent > 0 ? start / extent : 0;
            for (std::size_t k = 0; k < K; ++k) offsets_[k] += index_[d] * inputs_[k]->strides[d];
        }
    }

    [[nodiscard]] const double* at(std::size_t k) const noexcept { return inputs_[k]->data + offsets_[k]; }

    void next() noexcept {
        for (std::size_t d = dims_; d-- > 0;) {
            ++index_[d];
            for (std::size_t k = 0; k < K; ++k) offsets_[k] += inputs_[k]->strides[d];
            if (index_[d] < shape_.extents[d]) return;
            for (std::size_t k = 0; k < K; ++k) offsets_[k] -= inputs_[k]->strides[d] * shape_.extents[d];
            index_[d] = 0;
        }
    }

private:
    const Shape& shape_;
    std::array<const Input*, K> inputs_;
    std::size_t dims_;
    std::array<std::int64_t, max_dims> index_{};
    std::array<std::int64_t, K> offsets_{};
};

// Reading one element's block.
[[nodiscard]] inline Vec3 vec3_at(const double* p, std::int64_t step) noexcept {
    return {p[0], p[step], p[2 * step]};
}

[[nodiscard]] inline Mat3 mat3_at(const double* p, std::int64_t row, std::int64_t column) noexcept {
    Mat3 m;
    for (std::int64_t i = 0; i < 3; ++i)
        for (std::int64_t j = 0; j < 3; ++j) m[i][j] = p[i * row + j * column];
    return m;
}

// Writing one element's block: a failed element is NaN throughout.
inline void fill_nan(double* out, int n) noexcept {
    for (int k = 0; k < n; ++k) out[k] = std::numeric_limits<double>::quiet_NaN();
}

// Calls body(i, p_0 ... p_K-1) for every element i, where p_k points at
// element i's block of input k, split over `workers` threads.
template <std::size_t K, class Body>
void for_each_element(const Shape& shape, const std::array<const Input*, K>& inputs, std::int64_t workers,
                      const Body& body) {
    split_over_workers(shape.count, workers, [&](std::int64_t begin, std::int64_t end) {
        Walk<K> walk(shape, inputs, begin);
        for (std::int64_t i = begin; i < end; ++i, walk.next()) {
            [&]<std::size_t... k>(std::index_sequence<k...>) {
                body(i, walk.at(k)...);
            }(std::make_index_sequence<K>{});
        }
    });
}

}  // namespace velmora::batch
