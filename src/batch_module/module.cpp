// velmora_torso_batch: the arm's and the neck's kinematics over NumPy arrays.
//
// This file only declares: per function its loop (src/batch/), the kinds of
// its parameters, its outputs and its names. binding.hpp turns each line into
// a binding; call.hpp reads, broadcasts and allocates.

#include <nanobind/nanobind.h>

#include <cstdint>

#include "batch/arm_loops.hpp"
#include "batch/arm_velocity_loops.hpp"
#include "batch/neck_loops.hpp"
#include "batch/neck_velocity_loops.hpp"
#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::batch_module {
namespace {

using Scalars = Array<scalar>;  // one number per element (an angle)

// ik_path: a non-finite start would make every distance from it NaN.
struct FiniteStart {
    template <class Read, class... Handles>
    static void check(const Call& call, const Read& read, nb::handle, nb::handle, nb::handle start, Handles...) {
        const std::size_t k = std::get<2>(read);
        if (k != Call::absent && !batch::all_finite_pairs(call.shape(), call.view(k)))
            call.arguments().value_error("start", "finite", start);
    }
};

// follow's arguments as read: the arm, the paths, the starts and one follower's settings.
template <class Read>
arm::FollowSettings follow_settings(const Read& read) {
    const auto& [arm, directions, start, max_step, limits, damping, margin, max_step_change] = read;
    return {max_step, limits, damping, margin, max_step_change};
}

// follow's loop: the settings travel as one struct.
void follow_loop(const batch::Shape& shape, const arm::SphericalFiveBar& arm, const batch::Input& directions,
                 const batch::Input& start, double max_step, const std::optional<arm::JointLimits>& limits,
                 double damping, double margin, std::optional<double> max_step_change, double* pairs,
                 std::int8_t* status, std::int64_t workers) noexcept {
    batch::arm_follow(shape, arm, directions, start, {max_step, limits, damping, margin, max_step_change}, pairs,
                      status, workers);
}

// follow: every start must be one a follower accepts.
struct FollowerStarts {
    template <class Read, class... Handles>
    static void check(const Call& call, const Read& read, nb::handle, nb::handle, nb::handle start, Handles...) {
        const arm::FollowSettings settings = follow_settings(read);
        if (batch::first_unusable_start(call.shape(), std::get<0>(read), call.view(std::get<2>(read)), settings))
            call.arguments().value_error("start", "finite pairs inside 'limits' at which the loop closes", start);
    }
};

// neck_follow: every start must be one a neck follower accepts.
struct NeckFollowerStarts {
    template <class Read, class... Handles>
    static void check(const Call& call, const Read& read, nb::handle, nb::handle start, Handles...) {
        const auto& [rotations, starts, max_step, max_step_change, limits] = read;
        const neck::NeckFollowSettings settings{max_step, max_step_change, limits};
        if (batch::first_unusable_neck_start(call.shape(), call.view(starts), settings))
            call.arguments().value_error("start", "finite angles inside 'limits'", start);
    }
};

}  // namespace
}  // namespace velmora::batch_module

NB_MODULE(velmora_torso_batch, m) {
    using namespace velmora::batch_module;
    namespace batch = velmora::batch;
    import_numpy();
    bind_five_bar(m);
    m.doc() =
        "The kinematics of velmora_torso_kinematics over NumPy arrays: many poses per call, the same bits as "
        "the scalar methods, failures as NaN with a False in `ok`.";

    define<batch::arm_fk, Params<Arm, Scalars, Scalars>, Outs<Out<double, 3, 3>, Ok>>(
        m, "fk",
        "End-effector rotations [..., 3, 3] of the joint pairs (theta_a, theta_b), broadcast; "
        "ok[...] is False where the loop does not close.",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_direction, Params<Arm, Scalars, Scalars>, Outs<Out<double, 3>, Ok>>(
        m, "direction",
        "Pointing directions v_3 [..., 3] of the joint pairs (theta_a, theta_b), broadcast.",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_ik, Params<Arm, Array<mat3>, Limits, NonNegative>, Outs<Out<double, 2>, Ok>>(
        m, "ik",
        "Joint pairs [..., 2] that reproduce the rotations [..., 3, 3]. With limits ((a_min, a_max), "
        "(b_min, b_max)), inclusive, only a pair inside them is chosen; with margin, only a pair whose "
        "closure margin is at least that.",
        "arm"_a, "rotations"_a, nb::kw_only(), "limits"_a = nb::none(), "margin"_a = 0.0);
    define<batch::arm_ik_from_direction, Params<Arm, Array<vec3>, OptionalArray<pair>, Limits, NonNegative>,
           Outs<Out<double, 2>, Ok>>(
        m, "ik_from_direction",
        "Joint pairs [..., 2] pointing v_3 along directions [..., 3]; near [..., 2] picks the "
        "nearest pair, else the smallest-norm one. With limits and margin, only pairs inside them and "
        "with at least that closure margin are chosen from.",
        "arm"_a, "directions"_a, "near"_a = nb::none(), nb::kw_only(), "limits"_a = nb::none(), "margin"_a = 0.0);
    define<batch::arm_ik_path, Params<Arm, Array<path>, OptionalArray<pair>, OptionalDistance, Limits, NonNegative>,
           Outs<Out<double, T, 2>, Out<bool, T>>, FiniteStart>(
        m, "ik_path",
        "Follows paths of directions [..., T, 3] step by step: each step prefers the pair nearest the "
        "last good one (start before the first; it must be finite). With max_step, a step whose pair "
        "lies farther than that from the last good pair, in the joint-plane distance that near uses, "
        "fails. Where ok is False the arm holds its last good pair (or start), and pairs holds it, so "
        "every row is a command that can be sent; rows are NaN only while there is no good pair yet. "
        "With limits and margin, only pairs inside them and with at least that closure margin are chosen.",
        "arm"_a, "directions"_a, "start"_a = nb::none(), nb::kw_only(), "max_step"_a = nb::none(),
        "limits"_a = nb::none(), "margin"_a = 0.0);
    define<follow_loop,
           Params<Arm, Array<path>, Array<pair>, Positive, Limits, NonNegative, NonNegative, OptionalPositive>,
           Outs<Out<double, T, 2>, Out<std::int8_t, T>>, FollowerStarts>(
        m, "follow",
        "ArmFollower(arm, start, max_step=..., limits=..., damping=..., margin=..., max_step_change=...).step "
        "over each path of directions [..., T, 3] from start [..., 2]: pairs [..., T, 2] and status [..., T] "
        "as TRACKING (0), APPROACHING (1), HOLDING (2) or SATURATED (3).",
        "arm"_a, "directions"_a, "start"_a, nb::kw_only(), "max_step"_a, "limits"_a = nb::none(),
        "damping"_a = 0.05, "margin"_a = velmora::arm::default_follow_margin, "max_step_change"_a = nb::none());
    define<batch::neck_fk, Params<Array<vec3>>, Outs<Out<double, 3, 3>>>(
        m, "neck_fk",
        "Head rotations [..., 3, 3] of the neck angles (yaw, pitch, roll) [..., 3].",
        "angles"_a);
    define<batch::neck_follow, Params<Array<rotation_path>, Array<vec3>, Positive, PositiveOrNone, NeckLimitsOrNone>,
           Outs<Out<double, T, 3>, Out<std::int8_t, T>>, NeckFollowerStarts>(
        m, "neck_follow",
        "NeckFollower(start, max_step=..., max_step_change=..., limits=...).step over each path of rotations "
        "[..., T, 3, 3] from start [..., 3]: angles [..., T, 3] and status [..., T] as TRACKING (0), "
        "APPROACHING (1), HOLDING (2) or SATURATED (3).",
        "rotations"_a, "start"_a, nb::kw_only(), "max_step"_a, "max_step_change"_a = nb::none(),
        "limits"_a = nb::none());
    define<batch::neck_ik, Params<Array<mat3>, OptionalArray<vec3>>, Outs<Out<double, 3>, Ok>>(
        m, "neck_ik",
        "Neck angles (yaw, pitch, roll) [..., 3] of the rotations [..., 3, 3]; ok is False at gimbal lock. "
        "With near [..., 3], the angles of the same rotation nearest near (each angle turned by whole "
        "turns, or the other representation (yaw + pi, pi - pitch, roll + pi)); inside the gimbal-lock "
        "band near's roll is kept and yaw and pitch take the rest. ok is then False only for a "
        "non-finite near.",
        "rotations"_a, "near"_a = nb::none());
    define<batch::arm_direction_solutions, Params<Arm, Array<vec3>, Limits, NonNegative>,
           Outs<Out<double, 4, 2>, Out<std::int64_t>>>(
        m, "direction_solutions",
        "Every joint pair that points v_3 along directions [..., 3], as ik_from_direction accepts "
        "them: pairs [..., 4, 2] in candidate order, NaN after the last, and their count [...] (0 to 4; "
        "0 where ik_from_direction raises). With limits and margin, only the pairs inside them and with at "
        "least that closure margin.",
        "arm"_a, "directions"_a, nb::kw_only(), "limits"_a = nb::none(), "margin"_a = 0.0);
    define<batch::arm_closure_margin, Params<Arm, Scalars, Scalars>, Outs<Out<double>>>(
        m, "closure_margin",
        "The closure margin |v_3 . (v_2 x v_4)| [...] of the joint pairs (theta_a, theta_b), broadcast: "
        "zero on the locked loop, where both assembly modes meet; NaN where the loop does not close.",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_nearest_reachable, Params<Arm, Array<vec3>, Limits, NonNegative>,
           Outs<Out<double, 2>, Out<double, 3>, Out<double>>>(
        m, "nearest_reachable",
        "For each direction [..., 3], the admissible pair (inside limits, closure margin at least margin) "
        "whose v_3 is nearest it in angle, over the whole joint plane: (pairs [..., 2], v3 [..., 3], "
        "angle [...]) in radians; angle 0 and one of direction_solutions for a reachable direction; NaN "
        "for a direction not finite or shorter than 1e-12, or where nothing is admissible.",
        "arm"_a, "directions"_a, nb::kw_only(), "limits"_a = nb::none(), "margin"_a = 0.0);
    define<batch::arm_jacobian, Params<Arm, Scalars, Scalars>, Outs<Out<double, 3, 2>, Out<double, 3, 2>, Ok>>(
        m, "jacobian",
        "Velocity Jacobians (j_omega [..., 3, 2], j_v [..., 3, 2], ok) of the joint pairs: the frame "
        "turns at j_omega @ thetadot and v_3 moves at j_v @ thetadot (body frame). ok is False where "
        "the loop does not close or is locked (|v_3 . (v_2 x v_4)| < 1e-6).",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_geometry_jacobian, Params<Arm, Scalars, Scalars>,
           Outs<Out<double, 3, 5>, Out<double, 3, 5>, Ok>>(
        m, "geometry_jacobian",
        "Derivatives of the pose with respect to the arm's geometry at the joint pairs (theta_a, theta_b): "
        "(v3 [..., 3, 5], omega [..., 3, 5], ok), columns arm_arcs[0], arm_arcs[1], coupler_arcs[0], "
        "coupler_arcs[1], base_angle (FiveBar's parameters). v_3 moves at v3 @ dp and the frame turns at "
        "omega @ dp (body frame, as jacobian's j_omega). ok as in jacobian.",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_singularity_measure, Params<Arm, Scalars, Scalars>, Outs<Out<double>, Ok>>(
        m, "singularity_measure",
        "The smallest singular value of j_v [...]: zero where some pointing motion needs unbounded "
        "joint rates; ok as in jacobian.",
        "arm"_a, "theta_a"_a, "theta_b"_a);
    define<batch::arm_joint_rates, Params<Arm, Scalars, Scalars, Array<vec3>, NonNegative>, Outs<Out<double, 2>, Ok>>(
        m, "joint_rates",
        "Joint rates [..., 2] whose pointing velocity is nearest v3_dot [..., 3] (least squares, "
        "v3_dot's part along v_3 ignored). ok is False as in jacobian and where the singularity "
        "measure is below 1e-9. With damping lambda > 0, damped least squares instead: "
        "j_v^T (j_v j_v^T + lambda^2 I)^-1 v3_dot, bounded by |v3_dot| / (2 lambda) and False only "
        "where the loop does not close.",
        "arm"_a, "theta_a"_a, "theta_b"_a, "v3_dot"_a, nb::kw_only(), "damping"_a = 0.0);
    define<batch::neck_rates, Params<Array<vec3>, Array<vec3>>, Outs<Out<double, 3>>>(
        m, "neck_rates",
        "Angular velocities omega [..., 3] (body frame) of the head at angles (yaw, pitch, roll) [..., 3] "
        "turning at angles_dot [..., 3].",
        "angles"_a, "angles_dot"_a);
    define<batch::neck_angle_rates, Params<Array<vec3>, Array<vec3>>, Outs<Out<double, 3>, Ok>>(
        m, "neck_angle_rates",
        "The inverse of neck_rates: angle rates [..., 3] that turn the head at omega [..., 3]; ok is "
        "False in the gimbal-lock band that neck_ik refuses.",
        "angles"_a, "omega"_a);

    bind_followers(m);
    bind_arm_json(m);

    nb::list all;
    for (const std::string& name : detail::defined_names()) all.append(nb::str(name.c_str()));
    all.sort();
    m.attr("__all__") = nb::steal(PySequence_Tuple(all.ptr()));
}
