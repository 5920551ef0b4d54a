// Fuzz target: an item's value text read as the type its target declared. The first byte
// picks the declared type (mostly the ten ParameterType values, sometimes a number no type
// has), the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sanitizer/allocator_interface.h>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "parameter_text/parameter_text.hpp"

namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::msg::ParameterValue;

// Reading a text of at most a few KiB must not take more than this at once: a value that
// makes the node's memory balloon is as bad as one that crashes it.
constexpr size_t kMostBytesHeld = 64u << 20;
bool g_counting = false;  // only while a text is read, not the fuzzer's own allocations
int64_t g_held = 0;

void CountMalloc(const volatile void*, size_t size) {
  if (!g_counting) return;
  g_held += static_cast<int64_t>(size);
  if (g_held > static_cast<int64_t>(kMostBytesHeld)) {
    g_counting = false;  // the crash report allocates too
    std::abort();
  }
}
void CountFree(const volatile void* block) {
  if (!g_counting || block == nullptr) return;
  g_held -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<void*>(block)));
}

void Require(bool holds) {
  if (!holds) std::abort();
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Equal, with doubles compared bit for bit (a NaN is the same NaN again).
bool Same(const ParameterValue& a, const ParameterValue& b) {
  if (a.type != b.type || !SameBits(a.double_value, b.double_value) ||
      a.double_array_value.size() != b.double_array_value.size()) {
    return false;
  }
  for (size_t i = 0; i < a.double_array_value.size(); ++i) {
    if (!SameBits(a.double_array_value[i], b.double_array_value[i])) return false;
  }
  return a.bool_value == b.bool_value && a.integer_value == b.integer_value &&
         a.string_value == b.string_value && a.byte_array_value == b.byte_array_value &&
         a.bool_array_value == b.bool_array_value &&
         a.integer_array_value == b.integer_array_value &&
         a.string_array_value == b.string_array_value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool hooked = __sanitizer_install_malloc_and_free_hooks(CountMalloc, CountFree);
  (void)hooked;
  if (size == 0) return 0;
  const uint8_t declared = data[0] < 240 ? data[0] % 10 : data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  ParameterValue untouched;
  untouched.type = 0xEE;
  ParameterValue value = untouched;
  g_held = 0;
  g_counting = true;
  const bool read = parameter_text::ParameterValueFromText(declared, text, &value);
  g_counting = false;
  if (!read) {
    // A refused text leaves the value as it was.
    Require(Same(value, untouched));
    Require(declared != ParameterType::PARAMETER_STRING &&
            declared != ParameterType::PARAMETER_NOT_SET);
    return 0;
  }
  if (declared == ParameterType::PARAMETER_STRING || declared == ParameterType::PARAMETER_NOT_SET) {
    Require(value.type == ParameterType::PARAMETER_STRING && value.string_value == text);
  } else {
    Require(value.type == declared);
  }
  // The same text gives the same value every time.
  ParameterValue again;
  Require(parameter_text::ParameterValueFromText(declared, text, &again) && Same(again, value));
  return 0;
}
