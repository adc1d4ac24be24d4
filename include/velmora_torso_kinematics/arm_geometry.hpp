#pragma once
// velmora_torso_kinematics: the arm's geometry record, its presets, and its
// JSON document.
//
// All arm vectors live in one right-handed body frame. With m = -1 for a
// mirrored (right) arm and +1 otherwise, the input axes are v_1 = (0, 0, 1)
// (joint A) and v_5 = (m, 0, 0) (joint B); the elbows v_2 and v_4 sit at
// `arm_arc` from them, and the end-effector axis v_3 at `coupler_arc` from both
// elbows, on the side that `branch` chooses.

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

}  // namespace velmora::arm
