#include "names.hpp"

#include <cctype>
#include <string>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/expand_topic_or_service_name.hpp"

namespace rclcpp {
namespace detail {

namespace {
constexpr size_t kNodeNameMaxLength = 255;
constexpr size_t kTopicNameMaxLength = 255 - 8;  // room for the "rq/...Request" decoration
constexpr size_t kNamespaceMaxLength = kTopicNameMaxLength - 1;

bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

struct Problem {
  const char* message = nullptr;
  size_t index = 0;
  explicit operator bool() const { return message != nullptr; }
};

// rmw_validate_full_topic_name, with `what` ("topic name" or "namespace") in the messages.
Problem check_full_name(const std::string& name, bool is_namespace) {
  if (name.empty()) {
    return {is_namespace ? "namespace must not be empty" : "topic name must not be empty", 0};
  }
  if (name[0] != '/') {
    return {is_namespace ? "namespace must be absolute, it must lead with a '/'"
                         : "topic name must be absolute, it must lead with a '/'",
            0};
  }
  if (name.size() > 1 && name.back() == '/') {
    return {is_namespace ? "namespace must not end with a '/', unless only a '/'"
                         : "topic name must not end with a '/'",
            name.size() - 1};
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!is_word_char(name[i]) && name[i] != '/') {
      return {is_namespace
                  ? "namespace must not contain characters other than alphanumerics, '_', or '/'"
                  : "topic name must not contain characters other than alphanumerics, '_', or '/'",
              i};
    }
  }
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] == '/' && name[i - 1] == '/') {
      return {is_namespace ? "namespace must not contain repeated '/'"
                           : "topic name must not contain repeated '/'",
              i};
    }
  }
  for (size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '/' && is_digit(name[i + 1])) {
      return {is_namespace ? "namespace must not have a token that starts with a number"
                           : "topic name must not have a token that starts with a number",
              i + 1};
    }
  }
  const size_t max = is_namespace ? kNamespaceMaxLength : kTopicNameMaxLength;
  if (name.size() > max) {
    return {
        is_namespace ? "namespace should not exceed '246'" : "topic name should not exceed '247'",
        max - 1};
  }
  return {};
}

// rcl_validate_topic_name: the name as written, before expansion.
Problem check_written_name(const std::string& name) {
  if (name.empty()) return {"topic name must not be empty string", 0};
  if (is_digit(name[0])) return {"topic name must not start with a number", 0};
  if (name.back() == '/') return {"topic name must not end with a forward slash", name.size() - 1};
  bool in_braces = false;
  size_t brace_open = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (is_word_char(c)) continue;
    if (c == '{') {
      if (in_braces) {
        return {"topic name must not have unmatched (unbalanced) curly braces '{}'", i};
      }
      in_braces = true;
      brace_open = i;
    } else if (c == '}') {
      if (!in_braces) {
        return {"topic name must not have unmatched (unbalanced) curly braces '{}'", i};
      }
      in_braces = false;
    } else if (in_braces) {
      return {
          "topic name must not have substitutions containing characters other than "
          "alphanumerics or '_'",
          i};
    } else if (c != '/' && c != '~') {
      return {
          "topic name must not contain characters other than alphanumerics, '_', '~', '{', "
          "or '}'",
          i};
    }
  }
  if (in_braces) {
    return {"topic name must not have unmatched (unbalanced) curly braces '{}'", brace_open};
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '~') {
      if (i != 0) return {"topic name must not have a tilde '~' except as the first character", i};
      if (name.size() > 1 && name[1] != '/') {
        return {"topic name must not have a tilde '~' that is not followed by a forward slash", 1};
      }
    }
    if (name[i] == '/' && i + 1 < name.size() && is_digit(name[i + 1])) {
      return {"topic name must not have a token that starts with a number", i + 1};
    }
  }
  return {};
}

[[noreturn]] void throw_name_error(bool is_service, const std::string& name, const Problem& p) {
  if (is_service) throw exceptions::InvalidServiceNameError(name.c_str(), p.message, p.index);
  throw exceptions::InvalidTopicNameError(name.c_str(), p.message, p.index);
}

// Expands ~, {node}, {ns}/{namespace} and relative names; no validation.
std::string expand(const std::string& name, const std::string& node_name,
                   const std::string& namespace_, bool is_service) {
  const std::string fqn = fully_qualified_node_name(node_name, namespace_);
  std::string out;
  size_t i = 0;
  if (!name.empty() && name[0] == '~') {
    out = fqn;
    i = 1;
  } else if (name.empty() || name[0] != '/') {
    out = namespace_ == "/" ? "/" : namespace_ + "/";
  }
  while (i < name.size()) {
    if (name[i] == '{') {
      const size_t close = name.find('}', i);
      const std::string key = name.substr(i + 1, close - i - 1);
      if (key == "node") {
        out += node_name;
      } else if (key == "ns" || key == "namespace") {
        // The root namespace contributes nothing of its own.
        out += namespace_ == "/" ? "" : namespace_;
      } else {
        throw_name_error(is_service, name, Problem{"unknown substitution", i});
      }
      i = close + 1;
    } else {
      out += name[i++];
    }
  }
  return out;
}

bool rule_applies(const RemapRule& rule, RemapRule::Kind kind, const std::string& node_name) {
  return rule.kind == kind && (rule.node_prefix.empty() || rule.node_prefix == node_name);
}
}  // namespace

void validate_node_name(const std::string& name) {
  const char* message = nullptr;
  size_t index = 0;
  if (name.empty()) {
    message = "node name must not be empty";
  } else {
    for (size_t i = 0; i < name.size() && message == nullptr; ++i) {
      if (!is_word_char(name[i])) {
        message = "node name must not contain characters other than alphanumerics or '_'";
        index = i;
      }
    }
    if (message == nullptr && is_digit(name[0])) {
      message = "node name must not start with a number";
    } else if (message == nullptr && name.size() > kNodeNameMaxLength) {
      message = "node name should not exceed '255'";
      index = kNodeNameMaxLength - 1;
    }
  }
  if (message != nullptr) throw exceptions::InvalidNodeNameError(name.c_str(), message, index);
}

std::string normalize_namespace(const std::string& namespace_) {
  std::string ns = namespace_;
  if (ns.empty()) ns = "/";
  if (ns[0] != '/') ns = "/" + ns;
  if (Problem p = check_full_name(ns, true)) {
    throw exceptions::InvalidNamespaceError(ns.c_str(), p.message, p.index);
  }
  return ns;
}

std::string fully_qualified_node_name(const std::string& node_name, const std::string& namespace_) {
  return namespace_ == "/" ? "/" + node_name : namespace_ + "/" + node_name;
}

const RemapRule* find_node_rule(const std::vector<const std::vector<RemapRule>*>& rule_sets,
                                RemapRule::Kind kind, const std::string& node_name) {
  for (const auto* rules : rule_sets) {
    for (const auto& rule : *rules) {
      if (rule_applies(rule, kind, node_name)) return &rule;
    }
  }
  return nullptr;
}

std::string resolve_service_name(const std::string& name, const std::string& node_name,
                                 const std::string& namespace_,
                                 const std::vector<const std::vector<RemapRule>*>& rule_sets) {
  std::string resolved = expand_topic_or_service_name(name, node_name, namespace_, true);
  for (const auto* rules : rule_sets) {
    for (const auto& rule : *rules) {
      if (!rule_applies(rule, RemapRule::Kind::Name, node_name)) continue;
      // A rule whose sides do not expand cleanly simply never matches.
      std::string from;
      try {
        from = expand_topic_or_service_name(rule.from, node_name, namespace_, true);
      } catch (const std::exception&) {
        continue;
      }
      if (from == resolved) {
        return expand_topic_or_service_name(rule.to, node_name, namespace_, true);
      }
    }
  }
  return resolved;
}

}  // namespace detail

std::string expand_topic_or_service_name(const std::string& name, const std::string& node_name,
                                         const std::string& namespace_, bool is_service) {
  if (detail::Problem p = detail::check_written_name(name)) {
    detail::throw_name_error(is_service, name, p);
  }
  detail::validate_node_name(node_name);
  const std::string ns = detail::normalize_namespace(namespace_);
  const std::string expanded = detail::expand(name, node_name, ns, is_service);
  if (detail::Problem p = detail::check_full_name(expanded, false)) {
    detail::throw_name_error(is_service, expanded, p);
  }
  return expanded;
}

}  // namespace rclcpp
