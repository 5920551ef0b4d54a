#ifndef CONFIG_CENTER_SERVICES_QOS_HPP_
#define CONFIG_CENTER_SERVICES_QOS_HPP_

#include <rclcpp/version.h>
#include <rclcpp/rclcpp.hpp>

namespace config_center {

// The quality of service of config_operate and of the clients of the targets' parameter
// services: rmw's services default, in the form the rclcpp in use takes. rclcpp 17 added
// service and client overloads that take an rclcpp::QoS, and 28 (Jazzy) deprecates those
// that take an rmw_qos_profile_t, the only ones Humble's rclcpp 16 has.
#if RCLCPP_VERSION_MAJOR >= 17
inline rclcpp::QoS ServicesQos() { return rclcpp::ServicesQoS(); }
#else
inline const rmw_qos_profile_t& ServicesQos() { return rmw_qos_profile_services_default; }
#endif

}  // namespace config_center

#endif  // CONFIG_CENTER_SERVICES_QOS_HPP_
