// Access to the C++ introspection type support of generated interfaces.
#ifndef RCLCPP__DETAIL__TYPE_SUPPORT_HPP_
#define RCLCPP__DETAIL__TYPE_SUPPORT_HPP_

#include <rosidl_runtime_c/message_type_support_struct.h>
#include <rosidl_runtime_c/service_type_support_struct.h>

#include <rosidl_typesupport_introspection_cpp/message_introspection.hpp>
#include <rosidl_typesupport_introspection_cpp/message_type_support_decl.hpp>
#include <rosidl_typesupport_introspection_cpp/service_introspection.hpp>
#include <rosidl_typesupport_introspection_cpp/service_type_support_decl.hpp>

namespace rclcpp {
namespace detail {

template <typename ServiceT>
const rosidl_typesupport_introspection_cpp::ServiceMembers* service_members() {
  const rosidl_service_type_support_t* ts =
      rosidl_typesupport_introspection_cpp::get_service_type_support_handle<ServiceT>();
  return static_cast<const rosidl_typesupport_introspection_cpp::ServiceMembers*>(ts->data);
}

template <typename MessageT>
const rosidl_typesupport_introspection_cpp::MessageMembers* message_members() {
  const rosidl_message_type_support_t* ts =
      rosidl_typesupport_introspection_cpp::get_message_type_support_handle<MessageT>();
  return static_cast<const rosidl_typesupport_introspection_cpp::MessageMembers*>(ts->data);
}

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__TYPE_SUPPORT_HPP_
