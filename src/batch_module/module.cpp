// velmora_torso_batch: the arm's and the neck's kinematics over NumPy arrays.
//
// This file only declares: names, shapes, conversion, the interpreter lock and
// errors. NumPy does the converting and broadcasting (asarray, broadcast_shapes,
// broadcast_to: views with zero strides, no copies); the loops in src/batch/
// walk those views on the prepared arm with the lock released.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/arm.hpp"
#include "batch/arm_velocity.hpp"
#include "batch/neck.hpp"
#include "batch/neck_velocity.hpp"
#include "batch/strided.hpp"
#include "batch_module/bindings.hpp"
#include "module/classes.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::batch_module {
namespace {

using InputArray = nb::ndarray<const double, nb::device::cpu>;
template <class T>
using OutputArray = nb::ndarray<T, nb::c_contig, nb::device::cpu>;

// The trailing dimensions an argument must end with; `any` matches every
// extent (a path's length T).
struct Trailing {
    static constexpr std::int64_t any = -1;
    std::vector<std::int64_t> dims;
    const char* text;  // as messages show it, e.g. "(..., 3, 3)"
};

const Trailing scalar{{}, "(...)"};
const Trailing vec3{{3}, "(..., 3)"};
const Trailing pair{{2}, "(..., 2)"};
const Trailing mat3{{3, 3}, "(..., 3, 3)"};
const Trailing path{{Trailing::any, 3}, "(..., T, 3)"};

std::string qualified_type_name(nb::handle value) {
    PyObject* name = PyType_GetQualName(Py_TYPE(value.ptr()));
    if (name == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return nb::steal<nb::str>(name).c_str();
}

std::string text_of(nb::handle value) { return nb::str(value).c_str(); }

// velmora_torso_kinematics.VelmoraArmKinematics, imported on first need and
// kept for the life of the process (the class object never goes away while
// the module that made it is loaded).
PyTypeObject* arm_class() {
    static PyObject* cached = nullptr;
    if (cached != nullptr) return reinterpret_cast<PyTypeObject*>(cached);
    nb::object type = nb::module_::import_("velmora_torso_kinematics").attr("VelmoraArmKinematics");
    if (!PyType_Check(type.ptr())) throw nb::type_error("velmora_torso_kinematics.VelmoraArmKinematics is not a class");
    // The import may have let another thread in: the first one stored wins.
    if (cached == nullptr) cached = type.release().ptr();
    return reinterpret_cast<PyTypeObject*>(cached);
}

// One call of a batch function: its converted inputs broadcast to one leading
// shape, its outputs, and the objects that keep their memory alive until the
// call returns.
class Call {
public:
    // The index of an optional input that was not given.
    static constexpr std::size_t absent = static_cast<std::size_t>(-1);

    explicit Call(const char* function) : function_(function), numpy_(nb::module_::import_("numpy")) {}

    // The arm's geometry, read from the instance: the class cannot be
    // subclassed, so an exact type check is the whole check.
    arm::SphericalFiveBar arm(nb::handle value) const {
        if (Py_TYPE(value.ptr()) != arm_class())
            throw nb::type_error((prefix("arm") + "must be a velmora_torso_kinematics.VelmoraArmKinematics, not '" +
                                  qualified_type_name(value) + "'")
                                     .c_str());
        return arm::SphericalFiveBar(reinterpret_cast<const module::ArmObject*>(value.ptr())->geometry);
    }

    // Converts an array-like to float64 (no copy when it already is one) and
    // checks its trailing shape. Returns its index for view().
    std::size_t input(const char* name, nb::handle value, const Trailing& trailing) {
        nb::object array = numpy_.attr("asarray")(value);
        const std::string kind = text_of(array.attr("dtype").attr("kind"));
        // bool, signed, unsigned, floating: the numbers a scalar call accepts.
        if (kind.size() != 1 || std::string("biuf").find(kind[0]) == std::string::npos)
            throw nb::type_error((prefix(name) + "must hold real numbers, not an array of dtype " +
                                  text_of(array.attr("dtype")))
                                     .c_str());
        array = numpy_.attr("asarray")(array, "dtype"_a = numpy_.attr("float64"));
        // Unaligned data (a float64 view at an odd byte offset) cannot be read
        // as doubles in place: one aligned copy.
        if (!nb::cast<bool>(array.attr("flags").attr("aligned")))
            array = numpy_.attr("array")(array, "dtype"_a = numpy_.attr("float64"));

        const nb::tuple shape = nb::borrow<nb::tuple>(array.attr("shape"));
        const std::size_t ndim = shape.size();
        const std::size_t tail = trailing.dims.size();
        bool fits = ndim >= tail;
        for (std::size_t k = 0; fits && k < tail; ++k) {
            const std::int64_t want = trailing.dims[k];
            fits = want == Trailing::any || nb::cast<std::int64_t>(shape[ndim - tail + k]) == want;
        }
        if (!fits)
            throw nb::value_error((prefix(name) + "must have shape " + trailing.text + ", not " + text_of(shape)).c_str());

        nb::list leading;
        for (std::size_t d = 0; d + tail < ndim; ++d) leading.append(shape[d]);
        nb::list tail_shape;
        for (std::size_t d = ndim - tail; d < ndim; ++d) tail_shape.append(shape[d]);
        operands_.push_back({std::move(array), nb::tuple(leading), nb::tuple(tail_shape), {}});
        return operands_.size() - 1;
    }

    // The extent of a trailing dimension of input k (a path's T).
    std::int64_t trailing_extent(std::size_t k, std::size_t dim) const {
        return nb::cast<std::int64_t>(operands_[k].tail[dim]);
    }

    // The inputs' leading shapes broadcast against each other, in NumPy's
    // way and with its error, and each input seen through a view of that shape.
    void broadcast() {
        nb::list leads;
        for (const Operand& operand : operands_) leads.append(operand.leading);
        const nb::tuple lead = nb::borrow<nb::tuple>(numpy_.attr("broadcast_shapes")(*leads));
        shape_.extents.clear();
        shape_.count = 1;
        for (nb::handle extent : lead) {
            shape_.extents.push_back(nb::cast<std::int64_t>(extent));
            // Overflow is not possible here: broadcast_to below refuses a
            // shape whose size does not fit, before anything reads it.
        }
        if (shape_.extents.size() > batch::max_dims)
            throw nb::value_error((std::string(function_) + "(): too many dimensions").c_str());
        lead_ = lead;
        for (Operand& operand : operands_) {
            nb::object view = numpy_.attr("broadcast_to")(operand.array, concat(lead_, operand.tail));
            operand.view = nb::cast<InputArray>(view);
            views_.push_back(strided(operand.view));
        }
        shape_.count = 1;
        for (std::int64_t extent : shape_.extents) shape_.count *= extent;
    }

    // Input k as the loops see it; nullptr for an optional input not given.
    [[nodiscard]] const batch::Input* view(std::size_t k) const {
        return k == absent ? nullptr : &views_[k];
    }

    [[nodiscard]] const batch::Shape& shape() const { return shape_; }

    // A new array of the leading shape followed by `tail`, and where to write it.
    template <class T>
    std::pair<nb::object, T*> output(const std::vector<std::int64_t>& tail) {
        nb::list tail_shape;
        for (std::int64_t extent : tail) tail_shape.append(extent);
        const char* dtype = std::is_same_v<T, bool> ? "bool" : std::is_same_v<T, std::int64_t> ? "int64" : "float64";
        nb::object array = numpy_.attr("empty")(concat(lead_, nb::tuple(tail_shape)), "dtype"_a = dtype);
        // The returned array owns the memory; the view only finds it.
        T* data = nb::cast<OutputArray<T>>(array).data();
        return {array, data};
    }

    // Reads `workers` (1, -1 for every available core, or n > 1) and runs the
    // loops with the interpreter's lock released.
    template <class Loops>
    void run(nb::handle workers, const Loops& loops) {
        const std::int64_t threads = worker_count(workers);
        nb::gil_scoped_release unlocked;
        loops(threads);
    }

    // None, or a distance that is neither negative nor NaN.
    std::optional<double> max_step(nb::handle value) const {
        if (value.is_none()) return std::nullopt;
        const double step = PyFloat_AsDouble(value.ptr());
        if (step == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            PyErr_Clear();
            throw nb::type_error((prefix("max_step") + "must be a real number or None, not '" + qualified_type_name(value) + "'").c_str());
        }
        if (!(step >= 0.0))
            throw nb::value_error((prefix("max_step") + "must be a non-negative number, not " + text_of(nb::float_(step))).c_str());
        return step;
    }

private:
    struct Operand {
        nb::object array;    // float64, aligned
        nb::tuple leading;   // its own leading shape
        nb::tuple tail;      // its trailing shape
        InputArray view;     // broadcast to the call's leading shape
    };

    [[nodiscard]] std::string prefix(const char* argument) const {
        return std::string(function_) + "(): '" + argument + "' ";
    }

    [[nodiscard]] batch::Input strided(const InputArray& array) const {
        batch::Input input;
        input.data = array.data();
        const std::size_t lead = shape_.extents.size();
        for (std::size_t d = 0; d < lead; ++d) input.strides.push_back(array.stride(d));
        for (std::size_t d = lead; d < array.ndim() && d - lead < input.inner.size(); ++d)
            input.inner[d - lead] = array.stride(d);
        return input;
    }

    static nb::tuple concat(const nb::tuple& a, const nb::tuple& b) {
        return nb::steal<nb::tuple>(PySequence_Concat(a.ptr(), b.ptr()));
    }

    std::int64_t worker_count(nb::handle value) const {
        const std::string expected = prefix("workers") + "must be -1 or a positive integer, not ";
        if (!PyIndex_Check(value.ptr())) throw nb::type_error((expected + "'" + qualified_type_name(value) + "'").c_str());
        nb::object index = nb::steal(PyNumber_Index(value.ptr()));
        if (!index.is_valid()) throw nb::python_error();
        int overflow = 0;
        const long long count = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (count == -1 && overflow == 0 && PyErr_Occurred()) throw nb::python_error();
        if (overflow > 0) return batch::max_threads;
        if (overflow < 0 || count == 0 || count < -1) throw nb::value_error((expected + text_of(index)).c_str());
        return count == -1 ? batch::available_cores() : count;
    }

    const char* function_;
    nb::module_ numpy_;
    std::vector<Operand> operands_;
    std::vector<batch::Input> views_;  // one per operand, after broadcast()
    nb::tuple lead_;
    batch::Shape shape_;
};

// The functions: each one converts, allocates, runs its loop, returns.

nb::tuple fk(nb::handle arm, nb::handle theta_a, nb::handle theta_b, nb::handle workers) {
    Call call("fk");
    const auto prepared = call.arm(arm);
    const auto a = call.input("theta_a", theta_a, scalar);
    const auto b = call.input("theta_b", theta_b, scalar);
    call.broadcast();
    auto [rotations, r] = call.output<double>({3, 3});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_fk(prepared, call.shape(), *call.view(a), *call.view(b), r, o, threads);
    });
    return nb::make_tuple(rotations, ok);
}

nb::tuple direction(nb::handle arm, nb::handle theta_a, nb::handle theta_b, nb::handle workers) {
    Call call("direction");
    const auto prepared = call.arm(arm);
    const auto a = call.input("theta_a", theta_a, scalar);
    const auto b = call.input("theta_b", theta_b, scalar);
    call.broadcast();
    auto [v3, v] = call.output<double>({3});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_direction(prepared, call.shape(), *call.view(a), *call.view(b), v, o, threads);
    });
    return nb::make_tuple(v3, ok);
}

nb::tuple ik(nb::handle arm, nb::handle rotations, nb::handle workers) {
    Call call("ik");
    const auto prepared = call.arm(arm);
    const auto r = call.input("rotations", rotations, mat3);
    call.broadcast();
    auto [pairs, p] = call.output<double>({2});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_ik(prepared, call.shape(), *call.view(r), p, o, threads);
    });
    return nb::make_tuple(pairs, ok);
}

nb::tuple ik_from_direction(nb::handle arm, nb::handle directions, nb::handle near, nb::handle workers) {
    Call call("ik_from_direction");
    const auto prepared = call.arm(arm);
    const auto d = call.input("directions", directions, vec3);
    const auto n = near.is_none() ? Call::absent : call.input("near", near, pair);
    call.broadcast();
    auto [pairs, p] = call.output<double>({2});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_ik_from_direction(prepared, call.shape(), *call.view(d), call.view(n), p, o, threads);
    });
    return nb::make_tuple(pairs, ok);
}

nb::tuple ik_path(nb::handle arm, nb::handle directions, nb::handle start, nb::handle max_step,
                  nb::handle workers) {
    Call call("ik_path");
    const auto prepared = call.arm(arm);
    const auto d = call.input("directions", directions, path);
    const auto s = start.is_none() ? Call::absent : call.input("start", start, pair);
    const auto limit = call.max_step(max_step);
    call.broadcast();
    const std::int64_t steps = call.trailing_extent(d, 0);
    auto [pairs, p] = call.output<double>({steps, 2});
    auto [ok, o] = call.output<bool>({steps});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_ik_path(prepared, call.shape(), steps, *call.view(d), call.view(s), limit, p, o, threads);
    });
    return nb::make_tuple(pairs, ok);
}

nb::object neck_fk(nb::handle angles, nb::handle workers) {
    Call call("neck_fk");
    const auto a = call.input("angles", angles, vec3);
    call.broadcast();
    auto [rotations, r] = call.output<double>({3, 3});
    call.run(workers, [&](std::int64_t threads) { batch::neck_fk(call.shape(), *call.view(a), r, threads); });
    return rotations;
}

nb::tuple neck_ik(nb::handle rotations, nb::handle workers) {
    Call call("neck_ik");
    const auto r = call.input("rotations", rotations, mat3);
    call.broadcast();
    auto [angles, a] = call.output<double>({3});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) { batch::neck_ik(call.shape(), *call.view(r), a, o, threads); });
    return nb::make_tuple(angles, ok);
}

nb::tuple direction_solutions(nb::handle arm, nb::handle directions, nb::handle workers) {
    Call call("direction_solutions");
    const auto prepared = call.arm(arm);
    const auto d = call.input("directions", directions, vec3);
    call.broadcast();
    auto [pairs, p] = call.output<double>({4, 2});
    auto [count, c] = call.output<std::int64_t>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_direction_solutions(prepared, call.shape(), *call.view(d), p, c, threads);
    });
    return nb::make_tuple(pairs, count);
}

nb::tuple jacobian(nb::handle arm, nb::handle theta_a, nb::handle theta_b, nb::handle workers) {
    Call call("jacobian");
    const auto prepared = call.arm(arm);
    const auto a = call.input("theta_a", theta_a, scalar);
    const auto b = call.input("theta_b", theta_b, scalar);
    call.broadcast();
    auto [j_omega, w] = call.output<double>({3, 2});
    auto [j_v, v] = call.output<double>({3, 2});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_jacobian(prepared, call.shape(), *call.view(a), *call.view(b), w, v, o, threads);
    });
    return nb::make_tuple(j_omega, j_v, ok);
}

nb::tuple singularity_measure(nb::handle arm, nb::handle theta_a, nb::handle theta_b, nb::handle workers) {
    Call call("singularity_measure");
    const auto prepared = call.arm(arm);
    const auto a = call.input("theta_a", theta_a, scalar);
    const auto b = call.input("theta_b", theta_b, scalar);
    call.broadcast();
    auto [measure, m] = call.output<double>({});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_singularity_measure(prepared, call.shape(), *call.view(a), *call.view(b), m, o, threads);
    });
    return nb::make_tuple(measure, ok);
}

nb::tuple joint_rates(nb::handle arm, nb::handle theta_a, nb::handle theta_b, nb::handle v3_dot,
                      nb::handle workers) {
    Call call("joint_rates");
    const auto prepared = call.arm(arm);
    const auto a = call.input("theta_a", theta_a, scalar);
    const auto b = call.input("theta_b", theta_b, scalar);
    const auto d = call.input("v3_dot", v3_dot, vec3);
    call.broadcast();
    auto [rates, r] = call.output<double>({2});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::arm_joint_rates(prepared, call.shape(), *call.view(a), *call.view(b), *call.view(d), r, o, threads);
    });
    return nb::make_tuple(rates, ok);
}

nb::object neck_rates(nb::handle angles, nb::handle angles_dot, nb::handle workers) {
    Call call("neck_rates");
    const auto a = call.input("angles", angles, vec3);
    const auto d = call.input("angles_dot", angles_dot, vec3);
    call.broadcast();
    auto [omega, w] = call.output<double>({3});
    call.run(workers, [&](std::int64_t threads) {
        batch::neck_rates(call.shape(), *call.view(a), *call.view(d), w, threads);
    });
    return omega;
}

nb::tuple neck_angle_rates(nb::handle angles, nb::handle omega, nb::handle workers) {
    Call call("neck_angle_rates");
    const auto a = call.input("angles", angles, vec3);
    const auto w = call.input("omega", omega, vec3);
    call.broadcast();
    auto [rates, r] = call.output<double>({3});
    auto [ok, o] = call.output<bool>({});
    call.run(workers, [&](std::int64_t threads) {
        batch::neck_angle_rates(call.shape(), *call.view(a), *call.view(w), r, o, threads);
    });
    return nb::make_tuple(rates, ok);
}

// Types as the stub shows them.
#define VELMORA_ARM "velmora_torso_kinematics.VelmoraArmKinematics"
#define VELMORA_ARRAY "numpy.typing.ArrayLike"
#define VELMORA_FLOATS "numpy.typing.NDArray[numpy.float64]"
#define VELMORA_WITH_OK "tuple[" VELMORA_FLOATS ", numpy.typing.NDArray[numpy.bool_]]"
#define VELMORA_WORKERS "*, workers: int = 1"
#define VELMORA_INTS "numpy.typing.NDArray[numpy.int64]"
#define VELMORA_BOOLS "numpy.typing.NDArray[numpy.bool_]"

}  // namespace
}  // namespace velmora::batch_module

NB_MODULE(velmora_torso_batch, m) {
    namespace b = velmora::batch_module;
    m.doc() =
        "The kinematics of velmora_torso_kinematics over NumPy arrays: many poses per call, the same bits as "
        "the scalar methods, failures as NaN with a False in `ok`.";

    m.def("fk", &b::fk, "arm"_a, "theta_a"_a, "theta_b"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def fk(arm: " VELMORA_ARM ", theta_a: " VELMORA_ARRAY ", theta_b: " VELMORA_ARRAY
                  ", " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "End-effector rotations [..., 3, 3] of the joint pairs (theta_a, theta_b), broadcast; "
          "ok[...] is False where the loop does not close.");
    m.def("direction", &b::direction, "arm"_a, "theta_a"_a, "theta_b"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def direction(arm: " VELMORA_ARM ", theta_a: " VELMORA_ARRAY ", theta_b: " VELMORA_ARRAY
                  ", " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "Pointing directions v_3 [..., 3] of the joint pairs (theta_a, theta_b), broadcast.");
    m.def("ik", &b::ik, "arm"_a, "rotations"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def ik(arm: " VELMORA_ARM ", rotations: " VELMORA_ARRAY ", " VELMORA_WORKERS
                  ") -> " VELMORA_WITH_OK),
          "Joint pairs [..., 2] that reproduce the rotations [..., 3, 3].");
    m.def("ik_from_direction", &b::ik_from_direction, "arm"_a, "directions"_a, "near"_a = nb::none(),
          nb::kw_only(), "workers"_a = 1,
          nb::sig("def ik_from_direction(arm: " VELMORA_ARM ", directions: " VELMORA_ARRAY
                  ", near: " VELMORA_ARRAY " | None = None, " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "Joint pairs [..., 2] pointing v_3 along directions [..., 3]; near [..., 2] picks the "
          "nearest pair, else the smallest-norm one.");
    m.def("ik_path", &b::ik_path, "arm"_a, "directions"_a, "start"_a = nb::none(), nb::kw_only(),
          "max_step"_a = nb::none(), "workers"_a = 1,
          nb::sig("def ik_path(arm: " VELMORA_ARM ", directions: " VELMORA_ARRAY ", start: " VELMORA_ARRAY
                  " | None = None, *, max_step: float | None = None, workers: int = 1) -> " VELMORA_WITH_OK),
          "Follows paths of directions [..., T, 3] step by step: each step prefers the pair nearest the "
          "last good one (start before the first). With max_step, a step whose pair lies farther than "
          "that from the last good pair (or from start), in the joint-plane distance that near uses, "
          "fails and the arm holds its last good pair.");
    m.def("neck_fk", &b::neck_fk, "angles"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def neck_fk(angles: " VELMORA_ARRAY ", " VELMORA_WORKERS ") -> " VELMORA_FLOATS),
          "Head rotations [..., 3, 3] of the neck angles (yaw, pitch, roll) [..., 3].");
    m.def("neck_ik", &b::neck_ik, "rotations"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def neck_ik(rotations: " VELMORA_ARRAY ", " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "Neck angles (yaw, pitch, roll) [..., 3] of the rotations [..., 3, 3]; ok is False at gimbal lock.");
    m.def("direction_solutions", &b::direction_solutions, "arm"_a, "directions"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def direction_solutions(arm: " VELMORA_ARM ", directions: " VELMORA_ARRAY ", " VELMORA_WORKERS
                  ") -> tuple[" VELMORA_FLOATS ", " VELMORA_INTS "]"),
          "Every joint pair that points v_3 along directions [..., 3], as ik_from_direction accepts "
          "them: pairs [..., 4, 2] in candidate order, NaN after the last, and their count [...] (0 to 4; "
          "0 where ik_from_direction raises).");
    m.def("jacobian", &b::jacobian, "arm"_a, "theta_a"_a, "theta_b"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def jacobian(arm: " VELMORA_ARM ", theta_a: " VELMORA_ARRAY ", theta_b: " VELMORA_ARRAY
                  ", " VELMORA_WORKERS ") -> tuple[" VELMORA_FLOATS ", " VELMORA_FLOATS ", " VELMORA_BOOLS "]"),
          "Velocity Jacobians (j_omega [..., 3, 2], j_v [..., 3, 2], ok) of the joint pairs: the frame "
          "turns at j_omega @ thetadot and v_3 moves at j_v @ thetadot (body frame). ok is False where "
          "the loop does not close or is locked (|v_3 . (v_2 x v_4)| < 1e-6).");
    m.def("singularity_measure", &b::singularity_measure, "arm"_a, "theta_a"_a, "theta_b"_a, nb::kw_only(),
          "workers"_a = 1,
          nb::sig("def singularity_measure(arm: " VELMORA_ARM ", theta_a: " VELMORA_ARRAY
                  ", theta_b: " VELMORA_ARRAY ", " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "The smallest singular value of j_v [...]: zero where some pointing motion needs unbounded "
          "joint rates; ok as in jacobian.");
    m.def("joint_rates", &b::joint_rates, "arm"_a, "theta_a"_a, "theta_b"_a, "v3_dot"_a, nb::kw_only(),
          "workers"_a = 1,
          nb::sig("def joint_rates(arm: " VELMORA_ARM ", theta_a: " VELMORA_ARRAY ", theta_b: " VELMORA_ARRAY
                  ", v3_dot: " VELMORA_ARRAY ", " VELMORA_WORKERS ") -> " VELMORA_WITH_OK),
          "Joint rates [..., 2] whose pointing velocity is nearest v3_dot [..., 3] (least squares, "
          "v3_dot's part along v_3 ignored). ok is False as in jacobian and where the singularity "
          "measure is below 1e-9.");
    m.def("neck_rates", &b::neck_rates, "angles"_a, "angles_dot"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def neck_rates(angles: " VELMORA_ARRAY ", angles_dot: " VELMORA_ARRAY ", " VELMORA_WORKERS
                  ") -> " VELMORA_FLOATS),
          "Angular velocities omega [..., 3] (body frame) of the head at angles (yaw, pitch, roll) [..., 3] "
          "turning at angles_dot [..., 3].");
    m.def("neck_angle_rates", &b::neck_angle_rates, "angles"_a, "omega"_a, nb::kw_only(), "workers"_a = 1,
          nb::sig("def neck_angle_rates(angles: " VELMORA_ARRAY ", omega: " VELMORA_ARRAY ", " VELMORA_WORKERS
                  ") -> " VELMORA_WITH_OK),
          "The inverse of neck_rates: angle rates [..., 3] that turn the head at omega [..., 3]; ok is "
          "False in the gimbal-lock band that neck_ik refuses.");
    m.attr("__all__") =
        nb::make_tuple("direction", "direction_solutions", "fk", "ik", "ik_from_direction", "ik_path",
                       "jacobian", "joint_rates", "neck_angle_rates", "neck_fk", "neck_ik", "neck_rates",
                       "singularity_measure");
    velmora::batch_module::bind_arm_json(m);
}
