#pragma once
// velmora_torso_kinematics: the arm's geometry record, its presets, and its
// JSON document.
//
// All arm vectors live in one right-handed body frame. With m = -1 for a
// mirrored (right) arm and +1 otherwise, the input axes are v_1 = (0, 0, 1)
// (joint A) and v_5 = (m, 0, 0) (joint B); the elbows v_2 and v_4 sit at
// `arm_arc` from them, and the end-effector axis v_3 at `coupler_arc` from both
// elbows, on the side that `branch` chooses.
//
// The general arm (FiveBarGeometry) gives each of the four links its own arc
// and sets the angle between the input axes: v_5 = (m sin(base_angle), 0,
// cos(base_angle)). SphericalLinkGeometry is its special case of equal arcs and
// a right angle, and the kinematics compute both through the same code.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::arm {

// Which of the loop's two closures is taken: the sign of v_3 . (v_2 x v_4).
enum class Branch : std::uint8_t {
    positive = 0,
    negative = 1,
};

// Stored as given: no range or finiteness invariant; odd values show only in
// the kinematics' results.
struct SphericalLinkGeometry {
    double arm_arc;      // radians, v_1..v_2 and v_5..v_4
    double coupler_arc;  // radians, v_2..v_3 and v_4..v_3
    Branch branch;
    bool mirror;         // true: the right arm, the left one turned 180 degrees about z
};

inline constexpr double default_arm_arc = 0.7;
inline constexpr double default_coupler_arc = 0.5;

[[nodiscard]] constexpr SphericalLinkGeometry default_left() noexcept {
    return {default_arm_arc, default_coupler_arc, Branch::positive, false};
}

[[nodiscard]] constexpr SphericalLinkGeometry default_right() noexcept {
    return {default_arm_arc, default_coupler_arc, Branch::positive, true};
}

// -1 for a mirrored arm, +1 otherwise.
[[nodiscard]] constexpr double mirror_sign(const SphericalLinkGeometry& g) noexcept {
    return g.mirror ? -1.0 : 1.0;
}

// +1 for the positive closure, -1 for the negative one.
[[nodiscard]] constexpr double branch_sign(const SphericalLinkGeometry& g) noexcept {
    return g.branch == Branch::positive ? 1.0 : -1.0;
}

// The double nearest pi/2: the base angle of SphericalLinkGeometry. The
// kinematics turn v_5 by base_angle - right_angle from the x axis, which is
// exactly zero here, so such an arm keeps v_5 = (m, 0, 0) to the bit.
inline constexpr double right_angle = 1.5707963267948966;

// The general arm. Stored as given, like SphericalLinkGeometry.
struct FiveBarGeometry {
    double arm_arc_a;      // radians, v_1..v_2 (input link A)
    double arm_arc_b;      // radians, v_5..v_4 (input link B)
    double coupler_arc_a;  // radians, v_2..v_3 (coupler on A's side)
    double coupler_arc_b;  // radians, v_4..v_3 (coupler on B's side)
    double base_angle;     // radians, v_1..v_5
    Branch branch;
    bool mirror;
};

[[nodiscard]] constexpr FiveBarGeometry five_bar_geometry(const SphericalLinkGeometry& g) noexcept {
    return {g.arm_arc, g.arm_arc, g.coupler_arc, g.coupler_arc, right_angle, g.branch, g.mirror};
}

// Equal as stored: every double bit for bit (so NaN equals the same NaN, and
// 0.0 differs from -0.0), and the same branch and mirror.
[[nodiscard]] constexpr bool same_geometry(const FiveBarGeometry& a, const FiveBarGeometry& b) noexcept {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    return bits(a.arm_arc_a) == bits(b.arm_arc_a) && bits(a.arm_arc_b) == bits(b.arm_arc_b) &&
           bits(a.coupler_arc_a) == bits(b.coupler_arc_a) && bits(a.coupler_arc_b) == bits(b.coupler_arc_b) &&
           bits(a.base_angle) == bits(b.base_angle) && a.branch == b.branch && a.mirror == b.mirror;
}

// The SphericalLinkGeometry that `g` is, when it is one (equal arcs bit for
// bit, base angle right_angle); nothing otherwise.
[[nodiscard]] constexpr std::optional<SphericalLinkGeometry> link_geometry(const FiveBarGeometry& g) noexcept {
    const SphericalLinkGeometry link{g.arm_arc_a, g.coupler_arc_a, g.branch, g.mirror};
    if (!same_geometry(g, five_bar_geometry(link))) return std::nullopt;
    return link;
}

[[nodiscard]] constexpr double mirror_sign(const FiveBarGeometry& g) noexcept { return g.mirror ? -1.0 : 1.0; }
[[nodiscard]] constexpr double branch_sign(const FiveBarGeometry& g) noexcept {
    return g.branch == Branch::positive ? 1.0 : -1.0;
}

// The geometry as a JSON document (the contents of an arms.json file): an
// object {"arm_arc", "coupler_arc", "branch"?, "mirror"?} or an array of two to
// four elements in that order. Members with other keys are skipped after a full
// well-formedness check, at any depth, without recursion. A failure carries a
// reason and the line and column it points at.

struct JsonError {
    std::string reason;     // e.g. "missing field `arm_arc`"
    std::size_t line = 0;   // from 1
    std::size_t column = 0; // UTF-8 bytes from the start of the line up to and including
                            // the character the error points at; 0 when no byte precedes it
    // "<reason> at line L column C"
    [[nodiscard]] std::string message() const;
};

struct GeometryFromJson {
    std::optional<SphericalLinkGeometry> geometry;  // set on success
    JsonError error;                                // meaningful only when !geometry
};

// Parses `text` (UTF-8). Never throws except std::bad_alloc from building a
// message or an unescaped string.
[[nodiscard]] GeometryFromJson read_geometry_json(std::string_view text);

// The geometry as the object form of that document, all four members, e.g.
// {"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "positive", "mirror": false}.
// Each arc is written in the shortest digits that read back as the same double
// (the sign of zero included), so read_geometry_json gives back the record bit
// for bit. Nothing when an arc is NaN or infinite: JSON has no such numbers.
[[nodiscard]] std::optional<std::string> write_geometry_json(const SphericalLinkGeometry& geometry);

// The general arm's document: everything the document above accepts (read as
// equal arcs and a right angle), and in the object form also
// "arm_arcs": [a_A, a_B], "coupler_arcs": [c_A, c_B] (each in place of its
// single arc; exactly one of the two is required) and "base_angle" (default
// right_angle).
struct FiveBarFromJson {
    std::optional<FiveBarGeometry> geometry;  // set on success
    JsonError error;                          // meaningful only when !geometry
};
[[nodiscard]] FiveBarFromJson read_five_bar_json(std::string_view text);

// {"arm_arcs": [a_A, a_B], "coupler_arcs": [c_A, c_B], "base_angle": g,
// "branch": ..., "mirror": ...}, numbers as write_geometry_json writes them;
// nothing when one is NaN or infinite.
[[nodiscard]] std::optional<std::string> write_five_bar_json(const FiveBarGeometry& geometry);

}  // namespace velmora::arm
