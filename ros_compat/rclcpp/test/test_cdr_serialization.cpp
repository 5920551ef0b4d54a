// CDR encoding of generated interfaces: exact wire layout, round trips of the parameter
// services, and rejection of truncated or corrupt input.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <rcl_interfaces/msg/integer_range.hpp>
#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rosidl_runtime_cpp/bounded_vector.hpp>
#include <rosidl_typesupport_introspection_cpp/field_types.hpp>
#include <rosidl_typesupport_introspection_cpp/identifier.hpp>
#include <rosidl_typesupport_introspection_cpp/message_introspection.hpp>
#include <rosidl_typesupport_introspection_cpp/message_type_support_decl.hpp>

#include "rclcpp/detail/cdr_serialization.hpp"

namespace ti = rosidl_typesupport_introspection_cpp;
using rcl_interfaces::msg::ParameterType;
using rclcpp::detail::deserialize_message;
using rclcpp::detail::serialize_message;

namespace {

template <class T>
const ti::MessageMembers* members_of() {
  return static_cast<const ti::MessageMembers*>(ti::get_message_type_support_handle<T>()->data);
}

template <class T>
std::vector<uint8_t> encode(const T& msg) {
  std::vector<uint8_t> out;
  serialize_message(members_of<T>(), &msg, out);
  return out;
}

template <class T>
bool decode(const std::vector<uint8_t>& bytes, T& msg, size_t size) {
  return deserialize_message(members_of<T>(), bytes.data(), size, &msg);
}

template <class T>
bool decode(const std::vector<uint8_t>& bytes, T& msg) {
  return decode(bytes, msg, bytes.size());
}

rcl_interfaces::msg::Parameter param(const std::string& name, uint8_t type) {
  rcl_interfaces::msg::Parameter p;
  p.name = name;
  p.value.type = type;
  return p;
}

// One parameter of every type, plus a value with every field filled at once.
rcl_interfaces::srv::SetParameters::Request full_request() {
  rcl_interfaces::srv::SetParameters::Request req;
  req.parameters.push_back(param("unset", ParameterType::PARAMETER_NOT_SET));
  auto b = param("flag", ParameterType::PARAMETER_BOOL);
  b.value.bool_value = true;
  req.parameters.push_back(b);
  auto i = param("count", ParameterType::PARAMETER_INTEGER);
  i.value.integer_value = -9007199254740993LL;
  req.parameters.push_back(i);
  auto d = param("ratio", ParameterType::PARAMETER_DOUBLE);
  d.value.double_value = -0.1;
  req.parameters.push_back(d);
  auto s = param("ns/node.text", ParameterType::PARAMETER_STRING);
  s.value.string_value = std::string("a\0b", 3) + std::string(5000, 'x') + std::string(1, '\0');
  req.parameters.push_back(s);
  auto all = param("", ParameterType::PARAMETER_STRING_ARRAY);
  all.value.bool_value = true;
  all.value.integer_value = 7;
  all.value.double_value = 1e300;
  all.value.string_value = " ";
  all.value.byte_array_value = {0x00, 0xff, 0x7f};
  all.value.bool_array_value = {true, false, true, true, false};
  all.value.integer_array_value = {INT64_MIN, 0, INT64_MAX};
  all.value.double_array_value = {0.5, -2.25};
  all.value.string_array_value = {"", "one", std::string(1, '\0')};
  req.parameters.push_back(all);
  return req;
}

TEST(CdrSerialization, WireLayoutIsPlainLittleEndianCdr) {
  rcl_interfaces::msg::IntegerRange range;
  range.from_value = 0x0102030405060708;
  range.to_value = -2;
  range.step = 1;
  EXPECT_EQ(encode(range),
            (std::vector<uint8_t>{0,    1,    0,    0,    8,    7,    6, 5, 4, 3, 2, 1, 0xfe, 0xff,
                                  0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0,    0}));

  // bool, then a string whose length counts its NUL, aligned to 4 after the header.
  rcl_interfaces::msg::SetParametersResult result;
  result.successful = true;
  result.reason = "ab";
  EXPECT_EQ(encode(result),
            (std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0}));

  // type (uint8), bool, then int64 padded to the next multiple of 8 from the header's end.
  rcl_interfaces::msg::ParameterValue v;
  v.type = ParameterType::PARAMETER_INTEGER;
  v.integer_value = 5;
  const auto bytes = encode(v);
  ASSERT_GE(bytes.size(), 20u);
  EXPECT_EQ(bytes[4], 2);
  int64_t at_8 = 0;
  std::memcpy(&at_8, bytes.data() + 4 + 8, 8);
  EXPECT_EQ(at_8, 5);
  // double at 16, string length (empty: 1) at 24, five empty sequences: 4+4+8+5*4 bytes.
  EXPECT_EQ(bytes.size(), 4u + 8 + 8 + 8 + 5 + 3 + 5 * 4);
}

TEST(CdrSerialization, ParameterServicesRoundTrip) {
  const auto req = full_request();
  rcl_interfaces::srv::SetParameters::Request req_back;
  ASSERT_TRUE(decode(encode(req), req_back));
  EXPECT_EQ(req_back, req);
  EXPECT_EQ(req_back.parameters[4].value.string_value.size(), 5004u);

  rcl_interfaces::srv::SetParameters::Response resp;
  resp.results.resize(3);
  resp.results[0].successful = true;
  resp.results[1].reason = "Wrong parameter type";
  resp.results[2].successful = true;
  resp.results[2].reason = std::string(300, 'r');
  rcl_interfaces::srv::SetParameters::Response resp_back;
  ASSERT_TRUE(decode(encode(resp), resp_back));
  EXPECT_EQ(resp_back, resp);

  rcl_interfaces::srv::GetParameters::Request get;
  get.names = {"a", "", "b.c"};
  rcl_interfaces::srv::GetParameters::Request get_back;
  ASSERT_TRUE(decode(encode(get), get_back));
  EXPECT_EQ(get_back, get);

  rcl_interfaces::srv::GetParameters::Response values;
  for (const auto& p : req.parameters) values.values.push_back(p.value);
  rcl_interfaces::srv::GetParameters::Response values_back;
  ASSERT_TRUE(decode(encode(values), values_back));
  EXPECT_EQ(values_back, values);

  // Decoding replaces what the target held: sequences shrink, not append.
  rcl_interfaces::srv::SetParameters::Request small;
  small.parameters.push_back(param("only", ParameterType::PARAMETER_BOOL));
  ASSERT_TRUE(decode(encode(small), req_back));
  EXPECT_EQ(req_back, small);
}

TEST(CdrSerialization, TruncatedAndCorruptInputIsRejected) {
  const auto bytes = encode(full_request());
  // Serialization ends with the last data byte, so every strict prefix lacks something.
  for (size_t n = 0; n < bytes.size(); ++n) {
    rcl_interfaces::srv::SetParameters::Request out;
    ASSERT_FALSE(decode(bytes, out, n)) << "prefix of " << n << " of " << bytes.size();
  }

  rcl_interfaces::srv::SetParameters::Request out;
  EXPECT_FALSE(deserialize_message(members_of<decltype(out)>(), nullptr, 0, &out));

  // Unknown encapsulation (parameter list CDR).
  auto pl = bytes;
  pl[1] = 0x03;
  EXPECT_FALSE(decode(pl, out));

  // A parameter count far beyond the input: refused before anything is allocated.
  auto huge_count = bytes;
  const uint32_t big = 0xfffffff0u;
  std::memcpy(huge_count.data() + 4, &big, 4);
  EXPECT_FALSE(decode(huge_count, out));

  // A string length beyond the input (the first parameter's name).
  auto huge_string = bytes;
  std::memcpy(huge_string.data() + 8, &big, 4);
  EXPECT_FALSE(decode(huge_string, out));
  const uint32_t just_over = static_cast<uint32_t>(bytes.size() - 12 + 1);
  std::memcpy(huge_string.data() + 8, &just_over, 4);
  EXPECT_FALSE(decode(huge_string, out));
}

TEST(CdrSerialization, BigEndianInputIsRead) {
  const std::vector<uint8_t> be = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'o', 'k', 0};
  rcl_interfaces::msg::SetParametersResult r;
  ASSERT_TRUE(decode(be, r));
  EXPECT_TRUE(r.successful);
  EXPECT_EQ(r.reason, "ok");
}

// Fixed arrays, bounded sequences, bounded strings, wide strings and nested messages
// inside fixed arrays do not occur in the interfaces this project generates, so this type
// and its introspection tables are written by hand in the form rosidl's C++ generator
// produces them.
struct Inner {
  int16_t a = 0;
  std::string s;
  bool operator==(const Inner& o) const { return a == o.a && s == o.s; }
};
struct Outer {
  std::array<int32_t, 3> fixed{};
  rosidl_runtime_cpp::BoundedVector<std::string, 2> bounded;
  std::u16string wide;
  std::array<Inner, 2> inners;
  std::array<bool, 3> fixed_flags{};
  std::vector<bool> flags;
  uint8_t letter = 0;
  float f = 0;
  std::string limited;  // at most 4 characters
  std::vector<Inner> inner_seq;
  bool operator==(const Outer& o) const {
    return fixed == o.fixed && bounded == o.bounded && wide == o.wide && inners == o.inners &&
           fixed_flags == o.fixed_flags && flags == o.flags && letter == o.letter && f == o.f &&
           limited == o.limited && inner_seq == o.inner_seq;
  }
};

template <class C>
size_t size_fn(const void* p) {
  return static_cast<const C*>(p)->size();
}
template <class C>
const void* get_const_fn(const void* p, size_t i) {
  return &(*static_cast<const C*>(p))[i];
}
template <class C>
void* get_fn(void* p, size_t i) {
  return &(*static_cast<C*>(p))[i];
}
template <class C>
void fetch_fn(const void* p, size_t i, void* v) {
  *static_cast<typename C::value_type*>(v) = (*static_cast<const C*>(p))[i];
}
template <class C>
void assign_fn(void* p, size_t i, const void* v) {
  (*static_cast<C*>(p))[i] = *static_cast<const typename C::value_type*>(v);
}
template <class C>
void resize_fn(void* p, size_t n) {
  static_cast<C*>(p)->resize(n);
}

ti::MessageMember scalar(const char* name, uint8_t type, uint32_t offset, size_t bound = 0,
                         const rosidl_message_type_support_t* sub = nullptr) {
  return ti::MessageMember{name,    type,    bound,   sub,     false,   0,       false,  offset,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

template <class C>
struct is_std_array : std::false_type {};
template <class T, size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

// Introspection entry of an array field in the shape rosidl's C++ generator emits.
template <class C>
ti::MessageMember array(const char* name, uint8_t type, uint32_t offset, size_t n, bool bounded,
                        const rosidl_message_type_support_t* sub = nullptr) {
  ti::MessageMember m{name,    type,    0,       sub,     true,    n,       bounded, offset,
                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  m.size_function = size_fn<C>;
  m.fetch_function = fetch_fn<C>;
  m.assign_function = assign_fn<C>;
  // std::vector<bool> has no element addresses, so generated code leaves these out.
  if constexpr (!std::is_same_v<C, std::vector<bool>>) {
    m.get_const_function = get_const_fn<C>;
    m.get_function = get_fn<C>;
  }
  if constexpr (!is_std_array<C>::value) {
    m.resize_function = resize_fn<C>;
  }
  return m;
}

const ti::MessageMember kInnerFields[] = {
    scalar("a", ti::ROS_TYPE_INT16, offsetof(Inner, a)),
    scalar("s", ti::ROS_TYPE_STRING, offsetof(Inner, s)),
};
const ti::MessageMembers kInner{"test", "Inner", 2, sizeof(Inner), kInnerFields, nullptr, nullptr};
const rosidl_message_type_support_t kInnerTs{ti::typesupport_identifier, &kInner,
                                             get_message_typesupport_handle_function};

const ti::MessageMember kOuterFields[] = {
    array<std::array<int32_t, 3>>("fixed", ti::ROS_TYPE_INT32, offsetof(Outer, fixed), 3, false),
    array<rosidl_runtime_cpp::BoundedVector<std::string, 2>>("bounded", ti::ROS_TYPE_STRING,
                                                             offsetof(Outer, bounded), 2, true),
    scalar("wide", ti::ROS_TYPE_WSTRING, offsetof(Outer, wide)),
    array<std::array<Inner, 2>>("inners", ti::ROS_TYPE_MESSAGE, offsetof(Outer, inners), 2, false,
                                &kInnerTs),
    array<std::array<bool, 3>>("fixed_flags", ti::ROS_TYPE_BOOLEAN, offsetof(Outer, fixed_flags), 3,
                               false),
    array<std::vector<bool>>("flags", ti::ROS_TYPE_BOOLEAN, offsetof(Outer, flags), 0, false),
    scalar("letter", ti::ROS_TYPE_CHAR, offsetof(Outer, letter)),
    scalar("f", ti::ROS_TYPE_FLOAT, offsetof(Outer, f)),
    scalar("limited", ti::ROS_TYPE_STRING, offsetof(Outer, limited), 4),
    array<std::vector<Inner>>("inner_seq", ti::ROS_TYPE_MESSAGE, offsetof(Outer, inner_seq), 0,
                              false, &kInnerTs),
};
const ti::MessageMembers kOuter{
    "test",  "Outer", sizeof(kOuterFields) / sizeof(kOuterFields[0]), sizeof(Outer), kOuterFields,
    nullptr, nullptr};

Outer sample_outer() {
  Outer o;
  o.fixed = {-1, 2, 3};
  o.bounded = rosidl_runtime_cpp::BoundedVector<std::string, 2>({"x", "yy"});
  o.wide = u"wide\u00e9";
  o.inners[0] = {-7, "first"};
  o.inners[1] = {8, ""};
  o.fixed_flags = {true, false, true};
  o.flags = {false, true, false, false, true, true, true, false, true};
  o.letter = 'Z';
  o.f = 1.5f;
  o.limited = "abcd";
  o.inner_seq = {{1, "s"}, {2, "t"}};
  return o;
}

TEST(CdrSerialization, FixedArraysBoundsAndNestedMessages) {
  const Outer o = sample_outer();
  std::vector<uint8_t> bytes;
  serialize_message(&kOuter, &o, bytes);
  // Fixed arrays carry no count: the first int32 follows the header directly.
  int32_t first = 0;
  std::memcpy(&first, bytes.data() + 4, 4);
  EXPECT_EQ(first, -1);

  Outer back;
  ASSERT_TRUE(deserialize_message(&kOuter, bytes.data(), bytes.size(), &back));
  EXPECT_EQ(back, o);

  for (size_t n = 0; n < bytes.size(); ++n) {
    Outer t;
    ASSERT_FALSE(deserialize_message(&kOuter, bytes.data(), n, &t)) << n;
  }

  // Three elements in a sequence bounded to two.
  {
    std::vector<uint8_t> over = bytes;
    const uint32_t three = 3;
    std::memcpy(over.data() + 4 + 12, &three, 4);
    Outer t;
    EXPECT_FALSE(deserialize_message(&kOuter, over.data(), over.size(), &t));
  }
  // A five-character value of a string bounded to four.
  {
    Outer longer = o;
    longer.limited = "abcde";
    std::vector<uint8_t> b;
    serialize_message(&kOuter, &longer, b);
    Outer t;
    EXPECT_FALSE(deserialize_message(&kOuter, b.data(), b.size(), &t));
  }
}

}  // namespace
