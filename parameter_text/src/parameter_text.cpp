#include "parameter_text/parameter_text.hpp"

#include <sstream>
#include <utility>
#include <vector>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>
#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rclcpp/parameter_value.hpp>

namespace parameter_text {

namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::msg::ParameterValue;

// A quoted scalar is a string in YAML, whatever it looks like ('5' is no integer).
bool IsPlainScalar(const YAML::Node& node) { return node.IsScalar() && node.Tag() != "!"; }

template <typename T>
bool ReadScalar(const YAML::Node& node, T* out) {
  return IsPlainScalar(node) && YAML::convert<T>::decode(node, *out);
}

bool ReadByte(const YAML::Node& node, uint8_t* out) {
  int64_t number = 0;
  if (!ReadScalar(node, &number) || number < 0 || number > 255) {
    return false;
  }
  *out = static_cast<uint8_t>(number);
  return true;
}

bool ReadText(const YAML::Node& node, std::string* out) {
  if (!node.IsScalar()) {
    return false;
  }
  *out = node.Scalar();
  return true;
}

template <typename T, typename ReadElement>
bool ReadSequence(const YAML::Node& node, ReadElement read, std::vector<T>* out) {
  if (!node.IsSequence()) {
    return false;
  }
  std::vector<T> values(node.size());
  for (size_t i = 0; i < node.size(); ++i) {
    if (!read(node[i], &values[i])) {
      return false;
    }
  }
  *out = std::move(values);
  return true;
}

bool ReadTyped(uint8_t type, const YAML::Node& node, ParameterValue* value) {
  switch (type) {
    case ParameterType::PARAMETER_BOOL:
      return ReadScalar(node, &value->bool_value);
    case ParameterType::PARAMETER_INTEGER:
      return ReadScalar(node, &value->integer_value);
    case ParameterType::PARAMETER_DOUBLE:
      return ReadScalar(node, &value->double_value);
    case ParameterType::PARAMETER_BYTE_ARRAY:
      return ReadSequence(node, ReadByte, &value->byte_array_value);
    case ParameterType::PARAMETER_BOOL_ARRAY: {
      // std::vector<bool> has no element pointers; read through plain bools.
      std::vector<char> flags;
      auto read = [](const YAML::Node& element, char* flag) {
        bool b = false;
        if (!ReadScalar(element, &b)) return false;
        *flag = b;
        return true;
      };
      if (!ReadSequence(node, read, &flags)) return false;
      value->bool_array_value.assign(flags.begin(), flags.end());
      return true;
    }
    case ParameterType::PARAMETER_INTEGER_ARRAY:
      return ReadSequence(node, ReadScalar<int64_t>, &value->integer_array_value);
    case ParameterType::PARAMETER_DOUBLE_ARRAY:
      return ReadSequence(node, ReadScalar<double>, &value->double_array_value);
    case ParameterType::PARAMETER_STRING_ARRAY:
      return ReadSequence(node, ReadText, &value->string_array_value);
    default:
      return false;
  }
}

// A text of more documents than this is refused unread.
constexpr size_t kMostDocuments = 16;

// Notes, for each document the parser reads, whether its root is null (an empty document).
class DocumentRoots : public YAML::EventHandler {
public:
  bool null_root() const { return null_root_; }

  void OnDocumentStart(const YAML::Mark&) override {
    at_root_ = true;
    null_root_ = true;  // until a node other than null comes
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override { Node(true); }
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override { Node(false); }
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {
    Node(false);
  }
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {
    Node(false);
  }
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {
    Node(false);
  }
  void OnMapEnd() override {}

private:
  void Node(bool null) {
    if (at_root_) null_root_ = null;
    at_root_ = false;
  }

  bool at_root_ = false;
  bool null_root_ = false;
};

// The documents of a text: how many YAML::LoadAll would give (those before the first empty
// one), and whether the parser came to the end of the text within `most` documents. LoadAll
// itself never ends on some malformed texts: after a stray "," yaml-cpp 0.7 yields one
// document after another, each kept, until memory runs out. Throws YAML::Exception where
// LoadAll would.
struct Documents {
  size_t loaded = 0;
  bool ended = false;
};

Documents ReadDocuments(const std::string& text, size_t most) {
  std::istringstream in(text);
  YAML::Parser parser(in);
  DocumentRoots roots;
  Documents documents;
  bool empty_seen = false;
  for (size_t read = 0; read < most; ++read) {
    if (!parser.HandleNextDocument(roots)) {
      documents.ended = true;
      break;
    }
    empty_seen = empty_seen || roots.null_root();
    if (!empty_seen) ++documents.loaded;
  }
  return documents;
}

}  // namespace

bool ParameterValueFromText(uint8_t declared_type, const std::string& text, ParameterValue* out) {
  if (declared_type == ParameterType::PARAMETER_STRING ||
      declared_type == ParameterType::PARAMETER_NOT_SET) {
    ParameterValue value;
    value.type = ParameterType::PARAMETER_STRING;
    value.string_value = text;
    *out = std::move(value);
    return true;
  }
  YAML::Node document;
  try {
    const Documents documents = ReadDocuments(text, kMostDocuments);
    if (!documents.ended || documents.loaded != 1) {
      return false;
    }
    document = YAML::Load(text);
  } catch (const YAML::Exception&) {
    return false;
  }
  ParameterValue value;
  value.type = declared_type;
  if (!ReadTyped(declared_type, document, &value)) {
    return false;
  }
  *out = std::move(value);
  return true;
}

std::string ParameterTypeName(uint8_t type) {
  return rclcpp::to_string(static_cast<rclcpp::ParameterType>(type));
}

}  // namespace parameter_text
