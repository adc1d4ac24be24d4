#pragma once
// Reads an arm's geometry from a JSON document (the contents of arms.json).
//
// The document is an object {"arm_arc", "coupler_arc", "branch"?, "mirror"?}
// or an array of two to four elements in that order. Members with other keys
// are skipped after a full well-formedness check, at any nesting depth, without
// recursion. A failure carries a reason and the line and column it points at;
// the caller adds its own prefix.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "arm/geometry.hpp"

namespace velmora::arm {

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

}  // namespace velmora::arm
