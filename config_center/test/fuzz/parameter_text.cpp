// Fuzz target: an item's value text read as the type its target declared. The first byte
// picks the declared type (mostly the ten ParameterType values, sometimes a number no type
// has), the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "parameter_text/parameter_text.hpp"

namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::msg::ParameterValue;

void Require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t declared = data[0] < 240 ? data[0] % 10 : data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  ParameterValue untouched;
  untouched.type = 0xEE;
  ParameterValue value = untouched;
  const bool read = parameter_text::ParameterValueFromText(declared, text, &value);
  if (!read) {
    // A refused text leaves the value as it was.
    Require(value == untouched);
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
  Require(parameter_text::ParameterValueFromText(declared, text, &again) && again == value);
  return 0;
}
