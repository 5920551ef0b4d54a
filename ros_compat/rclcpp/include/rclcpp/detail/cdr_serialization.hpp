// Generic CDR encoding of rosidl messages, driven by the C++ introspection type support, so
// that every generated interface travels over DDS without per-type code.
#ifndef RCLCPP__DETAIL__CDR_SERIALIZATION_HPP_
#define RCLCPP__DETAIL__CDR_SERIALIZATION_HPP_

#include <cstddef>
#include <cstdint>
#include <vector>

#include <rosidl_typesupport_introspection_cpp/message_introspection.hpp>

namespace rclcpp::detail {

// Writes `message` as plain CDR: the 4-byte encapsulation header 00 01 00 00 (little endian)
// followed by the fields in declaration order, each aligned to its own size (at most 8)
// relative to the end of the header. `out` is replaced.
void serialize_message(const rosidl_typesupport_introspection_cpp::MessageMembers* members,
                       const void* message, std::vector<uint8_t>& out);

// Reads CDR written by serialize_message (or any plain-CDR writer, either byte order) into
// `message`, which must be a constructed instance of the type. Returns false on short or
// malformed input: it never reads past `size`, and a length field is checked against the
// bytes that remain before anything is allocated for it.
bool deserialize_message(const rosidl_typesupport_introspection_cpp::MessageMembers* members,
                         const uint8_t* data, size_t size, void* message);

}  // namespace rclcpp::detail

#endif  // RCLCPP__DETAIL__CDR_SERIALIZATION_HPP_
