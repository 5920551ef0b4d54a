#include "rclcpp/detail/cdr_serialization.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include <rosidl_typesupport_introspection_cpp/field_types.hpp>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the CDR writer emits the host's byte order and labels it little endian");

namespace rclcpp::detail {
namespace {

namespace ti = rosidl_typesupport_introspection_cpp;
using ti::MessageMember;
using ti::MessageMembers;

constexpr size_t kHeaderSize = 4;

// Size on the wire (and in memory) of a primitive field; 0 for strings and messages.
size_t primitive_size(uint8_t type) {
  switch (type) {
    case ti::ROS_TYPE_BOOLEAN:
    case ti::ROS_TYPE_OCTET:
    case ti::ROS_TYPE_CHAR:
    case ti::ROS_TYPE_UINT8:
    case ti::ROS_TYPE_INT8:
      return 1;
    case ti::ROS_TYPE_WCHAR:
    case ti::ROS_TYPE_UINT16:
    case ti::ROS_TYPE_INT16:
      return 2;
    case ti::ROS_TYPE_FLOAT:
    case ti::ROS_TYPE_UINT32:
    case ti::ROS_TYPE_INT32:
      return 4;
    case ti::ROS_TYPE_DOUBLE:
    case ti::ROS_TYPE_UINT64:
    case ti::ROS_TYPE_INT64:
      return 8;
    case ti::ROS_TYPE_LONG_DOUBLE:
      return 16;
    default:
      return 0;
  }
}

size_t alignment_of(size_t primitive) { return std::min<size_t>(primitive, 8); }

const MessageMembers* nested(const MessageMember& m) {
  return static_cast<const MessageMembers*>(m.members_->data);
}

bool is_fixed_array(const MessageMember& m) {
  return m.is_array_ && m.array_size_ > 0 && !m.is_upper_bound_;
}

class Writer {
public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {
    out_.clear();
    out_.reserve(64);
    out_.insert(out_.end(), {0x00, 0x01, 0x00, 0x00});
  }

  void align(size_t a) {
    const size_t rel = out_.size() - kHeaderSize;
    const size_t pad = (a - rel % a) % a;
    out_.insert(out_.end(), pad, 0);
  }
  void put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  void put_u32(uint32_t v) {
    align(4);
    put(&v, 4);
  }
  void put_string(const std::string& s) {
    put_u32(static_cast<uint32_t>(s.size() + 1));
    put(s.data(), s.size());
    out_.push_back(0);
  }
  void put_wstring(const std::u16string& s) {
    put_u32(static_cast<uint32_t>(s.size()));
    if (!s.empty()) {
      align(2);
      put(s.data(), s.size() * 2);
    }
  }

private:
  std::vector<uint8_t>& out_;
};

void write_message(Writer& w, const MessageMembers* mm, const uint8_t* msg);

void write_single(Writer& w, const MessageMember& m, const void* field) {
  switch (m.type_id_) {
    case ti::ROS_TYPE_STRING:
      w.put_string(*static_cast<const std::string*>(field));
      return;
    case ti::ROS_TYPE_WSTRING:
      w.put_wstring(*static_cast<const std::u16string*>(field));
      return;
    case ti::ROS_TYPE_MESSAGE:
      write_message(w, nested(m), static_cast<const uint8_t*>(field));
      return;
    case ti::ROS_TYPE_BOOLEAN: {
      const uint8_t b = *static_cast<const bool*>(field) ? 1 : 0;
      w.put(&b, 1);
      return;
    }
    default: {
      const size_t n = primitive_size(m.type_id_);
      w.align(alignment_of(n));
      w.put(field, n);
    }
  }
}

void write_elements(Writer& w, const MessageMember& m, const void* field, size_t count) {
  switch (m.type_id_) {
    case ti::ROS_TYPE_STRING:
      for (size_t i = 0; i < count; ++i) {
        w.put_string(*static_cast<const std::string*>(m.get_const_function(field, i)));
      }
      return;
    case ti::ROS_TYPE_WSTRING:
      for (size_t i = 0; i < count; ++i) {
        w.put_wstring(*static_cast<const std::u16string*>(m.get_const_function(field, i)));
      }
      return;
    case ti::ROS_TYPE_MESSAGE:
      for (size_t i = 0; i < count; ++i) {
        write_message(w, nested(m), static_cast<const uint8_t*>(m.get_const_function(field, i)));
      }
      return;
    case ti::ROS_TYPE_BOOLEAN:
      // std::vector<bool> has no addressable elements: go through fetch_function.
      for (size_t i = 0; i < count; ++i) {
        bool value = false;
        m.fetch_function(field, i, &value);
        const uint8_t b = value ? 1 : 0;
        w.put(&b, 1);
      }
      return;
    default: {
      if (count == 0) return;
      const size_t n = primitive_size(m.type_id_);
      w.align(alignment_of(n));
      // std::array, std::vector and BoundedVector of primitives are contiguous.
      w.put(m.get_const_function(field, 0), n * count);
    }
  }
}

void write_message(Writer& w, const MessageMembers* mm, const uint8_t* msg) {
  for (uint32_t i = 0; i < mm->member_count_; ++i) {
    const MessageMember& m = mm->members_[i];
    const void* field = msg + m.offset_;
    if (!m.is_array_) {
      write_single(w, m, field);
      continue;
    }
    const size_t count = m.size_function(field);
    if (!is_fixed_array(m)) w.put_u32(static_cast<uint32_t>(count));
    write_elements(w, m, field, count);
  }
}

// Smallest number of bytes one value of the field's element type can take on the wire
// (alignment padding aside). Bounds the element count a sequence header may claim.
size_t min_wire_size(const MessageMembers* mm);

size_t min_element_size(const MessageMember& m) {
  switch (m.type_id_) {
    case ti::ROS_TYPE_STRING:
    case ti::ROS_TYPE_WSTRING:
      return 4;
    case ti::ROS_TYPE_MESSAGE:
      return min_wire_size(nested(m));
    default:
      return primitive_size(m.type_id_);
  }
}

size_t min_wire_size(const MessageMembers* mm) {
  size_t total = 0;
  for (uint32_t i = 0; i < mm->member_count_; ++i) {
    const MessageMember& m = mm->members_[i];
    if (!m.is_array_) {
      total += min_element_size(m);
    } else if (is_fixed_array(m)) {
      total += m.array_size_ * min_element_size(m);
    } else {
      total += 4;
    }
  }
  return total;
}

void swap_bytes(uint8_t* p, size_t n) { std::reverse(p, p + n); }

class Reader {
public:
  Reader(const uint8_t* data, size_t size, bool swap) : data_(data), size_(size), swap_(swap) {}

  size_t remaining() const { return size_ - pos_; }

  bool align(size_t a) {
    const size_t rel = pos_ - kHeaderSize;
    const size_t pad = (a - rel % a) % a;
    if (pad > remaining()) return false;
    pos_ += pad;
    return true;
  }
  bool get(void* dst, size_t n) {
    if (n > remaining()) return false;
    if (n > 0) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return true;
  }
  // Reads `count` primitives of `size` bytes each, fixing their byte order.
  bool get_primitives(void* dst, size_t size, size_t count) {
    if (count == 0) return true;
    if (!align(alignment_of(size))) return false;
    if (count > remaining() / size) return false;
    if (!get(dst, size * count)) return false;
    if (swap_ && size > 1) {
      auto* p = static_cast<uint8_t*>(dst);
      for (size_t i = 0; i < count; ++i) swap_bytes(p + i * size, size);
    }
    return true;
  }
  bool get_u32(uint32_t& v) { return get_primitives(&v, 4, 1); }
  bool get_bool(bool& v) {
    uint8_t b = 0;
    if (!get(&b, 1)) return false;
    v = b != 0;
    return true;
  }
  bool get_string(std::string& s, size_t bound) {
    uint32_t len = 0;
    if (!get_u32(len) || len > remaining()) return false;
    const char* p = reinterpret_cast<const char*>(data_ + pos_);
    // The length counts the terminating NUL; tolerate writers that leave it out.
    size_t chars = len;
    if (len > 0 && p[len - 1] == '\0') --chars;
    if (bound > 0 && chars > bound) return false;
    s.assign(p, chars);
    pos_ += len;
    return true;
  }
  bool get_wstring(std::u16string& s, size_t bound) {
    uint32_t len = 0;
    if (!get_u32(len) || len > remaining() / 2) return false;
    if (bound > 0 && len > bound) return false;
    s.resize(len);
    return get_primitives(s.data(), 2, len);
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = kHeaderSize;
  bool swap_;
};

bool read_message(Reader& r, const MessageMembers* mm, uint8_t* msg);

bool read_single(Reader& r, const MessageMember& m, void* field) {
  switch (m.type_id_) {
    case ti::ROS_TYPE_STRING:
      return r.get_string(*static_cast<std::string*>(field), m.string_upper_bound_);
    case ti::ROS_TYPE_WSTRING:
      return r.get_wstring(*static_cast<std::u16string*>(field), m.string_upper_bound_);
    case ti::ROS_TYPE_MESSAGE:
      return read_message(r, nested(m), static_cast<uint8_t*>(field));
    case ti::ROS_TYPE_BOOLEAN:
      return r.get_bool(*static_cast<bool*>(field));
    default: {
      const size_t n = primitive_size(m.type_id_);
      return n > 0 && r.get_primitives(field, n, 1);
    }
  }
}

bool read_elements(Reader& r, const MessageMember& m, void* field, size_t count) {
  switch (m.type_id_) {
    case ti::ROS_TYPE_STRING:
      for (size_t i = 0; i < count; ++i) {
        auto* s = static_cast<std::string*>(m.get_function(field, i));
        if (!r.get_string(*s, m.string_upper_bound_)) return false;
      }
      return true;
    case ti::ROS_TYPE_WSTRING:
      for (size_t i = 0; i < count; ++i) {
        auto* s = static_cast<std::u16string*>(m.get_function(field, i));
        if (!r.get_wstring(*s, m.string_upper_bound_)) return false;
      }
      return true;
    case ti::ROS_TYPE_MESSAGE:
      for (size_t i = 0; i < count; ++i) {
        if (!read_message(r, nested(m), static_cast<uint8_t*>(m.get_function(field, i)))) {
          return false;
        }
      }
      return true;
    case ti::ROS_TYPE_BOOLEAN:
      for (size_t i = 0; i < count; ++i) {
        bool value = false;
        if (!r.get_bool(value)) return false;
        m.assign_function(field, i, &value);
      }
      return true;
    default: {
      const size_t n = primitive_size(m.type_id_);
      if (n == 0) return false;
      if (count == 0) return true;
      return r.get_primitives(m.get_function(field, 0), n, count);
    }
  }
}

bool read_message(Reader& r, const MessageMembers* mm, uint8_t* msg) {
  for (uint32_t i = 0; i < mm->member_count_; ++i) {
    const MessageMember& m = mm->members_[i];
    void* field = msg + m.offset_;
    if (!m.is_array_) {
      if (!read_single(r, m, field)) return false;
      continue;
    }
    size_t count = m.array_size_;
    if (!is_fixed_array(m)) {
      uint32_t claimed = 0;
      if (!r.get_u32(claimed)) return false;
      if (m.is_upper_bound_ && claimed > m.array_size_) return false;
      // A corrupt count must not make us allocate more elements than the input could hold.
      if (claimed > r.remaining() / std::max<size_t>(min_element_size(m), 1)) return false;
      count = claimed;
      m.resize_function(field, count);
    }
    if (!read_elements(r, m, field, count)) return false;
  }
  return true;
}

}  // namespace

void serialize_message(const MessageMembers* members, const void* message,
                       std::vector<uint8_t>& out) {
  Writer w(out);
  write_message(w, members, static_cast<const uint8_t*>(message));
}

bool deserialize_message(const MessageMembers* members, const uint8_t* data, size_t size,
                         void* message) {
  if (data == nullptr || size < kHeaderSize || data[0] != 0x00) return false;
  bool swap = false;
  if (data[1] == 0x01) {
    swap = false;  // CDR_LE
  } else if (data[1] == 0x00) {
    swap = true;  // CDR_BE
  } else {
    return false;  // parameter-list and XCDR2 encodings are not used for ROS messages
  }
  Reader r(data, size, swap);
  return read_message(r, members, static_cast<uint8_t*>(message));
}

}  // namespace rclcpp::detail
