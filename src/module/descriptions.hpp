#pragma once
// The parameter description of every method that takes parameters.

#include <array>

#include "module/binder.hpp"

namespace velmora::module::descriptions {

inline constexpr const char arm_class[] = "VelmoraArmKinematics";
inline constexpr const char neck_class[] = "VelmoraNeckKinematics";

inline constexpr std::array<const char*, 3> arm_new_parameters{"arm_arc", "coupler_arc", "mirror"};
inline constexpr std::array<const char*, 1> json_parameters{"json"};
inline constexpr std::array<const char*, 2> joint_parameters{"theta_a", "theta_b"};
inline constexpr std::array<const char*, 1> rotation_parameters{"r_target"};
inline constexpr std::array<const char*, 2> direction_near_parameters{"v3", "near"};
inline constexpr std::array<const char*, 1> direction_parameters{"v3"};
inline constexpr std::array<const char*, 0> no_parameters{};
inline constexpr std::array<const char*, 1> neck_joint_parameters{"joints"};
inline constexpr std::array<const char*, 1> neck_rotation_parameters{"r"};

inline constexpr FunctionDescription arm_new{arm_class, "__new__", arm_new_parameters, 0};
inline constexpr FunctionDescription from_json{arm_class, "from_json", json_parameters, 1};
inline constexpr FunctionDescription arm_fk{arm_class, "fk", joint_parameters, 2};
inline constexpr FunctionDescription direction{arm_class, "direction", joint_parameters, 2};
inline constexpr FunctionDescription is_reachable_joints{arm_class, "is_reachable_joints",
                                                         joint_parameters, 2};
inline constexpr FunctionDescription arm_ik{arm_class, "ik", rotation_parameters, 1};
inline constexpr FunctionDescription is_reachable_orientation{arm_class, "is_reachable_orientation",
                                                              rotation_parameters, 1};
inline constexpr FunctionDescription ik_from_direction{arm_class, "ik_from_direction",
                                                       direction_near_parameters, 1};
inline constexpr FunctionDescription is_reachable_direction{arm_class, "is_reachable_direction",
                                                            direction_parameters, 1};
inline constexpr FunctionDescription neck_new{neck_class, "__new__", no_parameters, 0};
inline constexpr FunctionDescription neck_fk{neck_class, "fk", neck_joint_parameters, 1};
inline constexpr FunctionDescription neck_ik{neck_class, "ik", neck_rotation_parameters, 1};

}  // namespace velmora::module::descriptions
