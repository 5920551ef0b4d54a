#include "rclcpp/detail/parameter_store.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "rclcpp/exceptions.hpp"

namespace rclcpp::detail {

using rcl_interfaces::msg::ParameterDescriptor;
using rcl_interfaces::msg::SetParametersResult;

namespace {

SetParametersResult success() {
  SetParametersResult r;
  r.successful = true;
  return r;
}

SetParametersResult failure(const std::string& reason) {
  SetParametersResult r;
  r.successful = false;
  r.reason = reason;
  return r;
}

constexpr char kWrongType[] = "Wrong parameter type";

std::string type_reason(const std::string& name, ParameterType declared, ParameterType given) {
  return std::string(kWrongType) + ", parameter {" + name + "} is of type {" +
         rclcpp::to_string(declared) + "}, setting it to {" + rclcpp::to_string(given) +
         "} is not allowed.";
}

std::string range_reason(const std::string& name, const char* kind) {
  return "Parameter {" + name + "} doesn't comply with " + kind + " range.";
}

bool nearly_equal(double a, double b) {
  return std::fabs(a - b) <= 1e-6 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// A value on a bound is always accepted; inside, it must sit on a step when one is given.
SetParametersResult check_range(const ParameterDescriptor& d, const ParameterValue& value) {
  if (!d.integer_range.empty() && value.get_type() == PARAMETER_INTEGER) {
    const auto& r = d.integer_range[0];
    const int64_t v = value.get<int64_t>();
    if (v == r.from_value || v == r.to_value) return success();
    if (v < r.from_value || v > r.to_value) return failure(range_reason(d.name, "integer"));
    if (r.step == 0) return success();
    const uint64_t offset = static_cast<uint64_t>(v) - static_cast<uint64_t>(r.from_value);
    if (offset % r.step == 0) return success();
    return failure(range_reason(d.name, "integer"));
  }
  if (!d.floating_point_range.empty() && value.get_type() == PARAMETER_DOUBLE) {
    const auto& r = d.floating_point_range[0];
    const double v = value.get<double>();
    if (nearly_equal(v, r.from_value) || nearly_equal(v, r.to_value)) return success();
    if (v < r.from_value || v > r.to_value) return failure(range_reason(d.name, "floating point"));
    if (r.step == 0.0) return success();
    const double steps = std::round((v - r.from_value) / r.step);
    if (nearly_equal(v, r.from_value + steps * r.step)) return success();
    return failure(range_reason(d.name, "floating point"));
  }
  return success();
}

}  // namespace

class ParameterStore::MutationGuard {
public:
  explicit MutationGuard(bool& mutating) : mutating_(mutating) {
    if (mutating_) {
      throw exceptions::ParameterModifiedInCallbackException(
          "cannot set or declare a parameter, or change the callback from within set callback");
    }
    mutating_ = true;
  }
  ~MutationGuard() { mutating_ = false; }
  MutationGuard(const MutationGuard&) = delete;
  MutationGuard& operator=(const MutationGuard&) = delete;

private:
  bool& mutating_;
};

ParameterStore::ParameterStore(bool allow_undeclared_parameters,
                               const std::vector<rclcpp::Parameter>& parameter_overrides)
    : allow_undeclared_(allow_undeclared_parameters) {
  for (const auto& p : parameter_overrides) overrides_[p.get_name()] = p.get_parameter_value();
}

const ParameterValue& ParameterStore::declare_parameter(const std::string& name,
                                                        const ParameterValue& default_value,
                                                        const ParameterDescriptor& descriptor,
                                                        bool ignore_override) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);
  return declare_locked(name, PARAMETER_NOT_SET, default_value, descriptor, ignore_override);
}

const ParameterValue& ParameterStore::declare_parameter(const std::string& name, ParameterType type,
                                                        const ParameterDescriptor& descriptor,
                                                        bool ignore_override) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);
  if (type == PARAMETER_NOT_SET) {
    throw std::invalid_argument(
        "declare_parameter(): the provided parameter type cannot be rclcpp::PARAMETER_NOT_SET");
  }
  if (descriptor.dynamic_typing) {
    throw std::invalid_argument(
        "declare_parameter(): cannot declare parameter of specific type and pass descriptor "
        "with `dynamic_typing=true`");
  }
  return declare_locked(name, type, ParameterValue(), descriptor, ignore_override);
}

const ParameterValue& ParameterStore::declare_locked(const std::string& name, ParameterType type,
                                                     const ParameterValue& default_value,
                                                     const ParameterDescriptor& descriptor,
                                                     bool ignore_override) {
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  if (parameters_.count(name) != 0) {
    throw exceptions::ParameterAlreadyDeclaredException("parameter '" + name +
                                                        "' has already been declared");
  }
  ParameterDescriptor d = descriptor;
  if (!d.dynamic_typing) {
    if (type == PARAMETER_NOT_SET) type = default_value.get_type();
    if (type == PARAMETER_NOT_SET) d.dynamic_typing = true;
  }
  d.type = type;

  const auto result = declare_into(name, default_value, d, parameters_, ignore_override, true);
  if (!result.successful) {
    if (result.reason.compare(0, std::strlen(kWrongType), kWrongType) == 0) {
      throw exceptions::InvalidParameterTypeException(name, result.reason);
    }
    throw exceptions::InvalidParameterValueException("parameter '" + name +
                                                     "' could not be set: " + result.reason);
  }
  return parameters_.at(name).value;
}

SetParametersResult ParameterStore::declare_into(const std::string& name,
                                                 const ParameterValue& default_value,
                                                 const ParameterDescriptor& descriptor,
                                                 InfoMap& out, bool ignore_override,
                                                 bool with_callbacks) {
  InfoMap staged{{name, Info{ParameterValue(), descriptor}}};
  const ParameterValue* initial = &default_value;
  const auto over = overrides_.find(name);
  if (!ignore_override && over != overrides_.end()) initial = &over->second;

  if (initial->get_type() == PARAMETER_NOT_SET) {
    // Declared without a value: nothing to check or announce.
    Info& info = staged.at(name);
    info.descriptor.name = name;
    info.descriptor.type = descriptor.dynamic_typing ? uint8_t{PARAMETER_NOT_SET} : descriptor.type;
    out[name] = info;
    return success();
  }
  auto result = check_and_apply({rclcpp::Parameter(name, *initial)}, staged, with_callbacks);
  if (!result.successful) return result;
  out[name] = staged.at(name);
  return result;
}

SetParametersResult ParameterStore::check_descriptors(
    const std::vector<rclcpp::Parameter>& parameters, const InfoMap& infos) const {
  for (const auto& p : parameters) {
    ParameterDescriptor d;
    const auto it = infos.find(p.get_name());
    if (it != infos.end()) {
      d = it->second.descriptor;
    } else {
      d.dynamic_typing = true;  // created by this set: takes any type
    }
    if (d.name.empty()) d.name = p.get_name();
    const auto declared = static_cast<ParameterType>(d.type);
    if (!d.dynamic_typing && declared != p.get_type()) {
      return failure(type_reason(p.get_name(), declared, p.get_type()));
    }
    auto range = check_range(d, p.get_parameter_value());
    if (!range.successful) return range;
  }
  return success();
}

SetParametersResult ParameterStore::run_callbacks(
    const std::vector<rclcpp::Parameter>& parameters) {
  auto result = success();
  for (auto it = callbacks_.begin(); it != callbacks_.end();) {
    auto handle = it->lock();
    if (!handle) {
      it = callbacks_.erase(it);
      continue;
    }
    result = handle->callback(parameters);
    if (!result.successful) return result;
    ++it;
  }
  return result;
}

SetParametersResult ParameterStore::check_and_apply(
    const std::vector<rclcpp::Parameter>& parameters, InfoMap& infos, bool with_callbacks) {
  auto result = check_descriptors(parameters, infos);
  if (!result.successful) return result;
  if (with_callbacks) {
    result = run_callbacks(parameters);
    if (!result.successful) return result;
  }
  for (const auto& p : parameters) {
    Info& info = infos[p.get_name()];
    info.descriptor.name = p.get_name();
    info.descriptor.type = p.get_type();
    info.value = p.get_parameter_value();
  }
  return result;
}

void ParameterStore::undeclare_parameter(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);
  const auto it = parameters_.find(name);
  if (it == parameters_.end()) {
    throw exceptions::ParameterNotDeclaredException("cannot undeclare parameter '" + name +
                                                    "' which has not yet been declared");
  }
  if (it->second.descriptor.read_only) {
    throw exceptions::ParameterImmutableException("cannot undeclare parameter '" + name +
                                                  "' because it is read-only");
  }
  if (!it->second.descriptor.dynamic_typing) {
    throw exceptions::InvalidParameterTypeException(
        name, "cannot undeclare a statically typed parameter");
  }
  parameters_.erase(it);
}

bool ParameterStore::has_parameter(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return parameters_.count(name) != 0;
}

rclcpp::Parameter ParameterStore::get_locked(const std::string& name) const {
  const auto it = parameters_.find(name);
  if (it != parameters_.end()) {
    if (it->second.value.get_type() == PARAMETER_NOT_SET && !it->second.descriptor.dynamic_typing) {
      throw exceptions::ParameterUninitializedException(name);
    }
    return rclcpp::Parameter(name, it->second.value);
  }
  if (allow_undeclared_) return rclcpp::Parameter(name);
  throw exceptions::ParameterNotDeclaredException(name);
}

rclcpp::Parameter ParameterStore::get_parameter(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return get_locked(name);
}

bool ParameterStore::get_parameter(const std::string& name, rclcpp::Parameter& parameter) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = parameters_.find(name);
  if (it == parameters_.end() || it->second.value.get_type() == PARAMETER_NOT_SET) return false;
  parameter = rclcpp::Parameter(name, it->second.value);
  return true;
}

std::vector<rclcpp::Parameter> ParameterStore::get_parameters(
    const std::vector<std::string>& names) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<rclcpp::Parameter> out;
  out.reserve(names.size());
  for (const auto& name : names) out.push_back(get_locked(name));
  return out;
}

ParameterDescriptor ParameterStore::describe_parameter(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = parameters_.find(name);
  if (it != parameters_.end()) return it->second.descriptor;
  if (!allow_undeclared_) throw exceptions::ParameterNotDeclaredException(name);
  ParameterDescriptor d;
  d.name = name;
  d.dynamic_typing = true;
  return d;
}

std::vector<SetParametersResult> ParameterStore::set_parameters(
    const std::vector<rclcpp::Parameter>& parameters) {
  std::vector<SetParametersResult> results;
  results.reserve(parameters.size());
  for (const auto& p : parameters) results.push_back(set_parameters_atomically({p}));
  return results;
}

SetParametersResult ParameterStore::set_parameters_atomically(
    const std::vector<rclcpp::Parameter>& parameters) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);

  std::vector<const rclcpp::Parameter*> to_declare;
  for (const auto& p : parameters) {
    const std::string& name = p.get_name();
    if (name.empty()) {
      throw exceptions::InvalidParametersException("parameter name must not be empty");
    }
    const auto it = parameters_.find(name);
    if (it == parameters_.end()) {
      if (allow_undeclared_) {
        to_declare.push_back(&p);
        continue;
      }
      throw exceptions::ParameterNotDeclaredException(
          "parameter '" + name + "' cannot be set because it was not declared");
    }
    if (it->second.descriptor.read_only) {
      return failure("parameter '" + name + "' cannot be set because it is read-only");
    }
  }

  // Parameters created by this set are declared aside first, so that a refusal below
  // leaves the store unchanged; the callbacks then see the whole set once.
  InfoMap staged;
  ParameterDescriptor implicit;
  implicit.dynamic_typing = true;
  for (const auto* p : to_declare) {
    auto result =
        declare_into(p->get_name(), p->get_parameter_value(), implicit, staged, true, false);
    if (!result.successful) return result;
  }

  // A value that is not set removes a parameter that holds one.
  std::vector<std::string> to_undeclare;
  for (const auto& p : parameters) {
    if (p.get_type() != PARAMETER_NOT_SET) continue;
    const auto it = parameters_.find(p.get_name());
    if (it == parameters_.end() || it->second.value.get_type() == PARAMETER_NOT_SET) continue;
    if (!it->second.descriptor.dynamic_typing) {
      return failure("cannot undeclare a statically typed parameter");
    }
    to_undeclare.push_back(p.get_name());
  }

  auto result = check_and_apply(parameters, parameters_, true);
  if (!result.successful) return result;
  for (auto& kv : staged) parameters_[kv.first].descriptor = kv.second.descriptor;
  for (const auto& name : to_undeclare) parameters_.erase(name);
  return result;
}

node_interfaces::OnSetParametersCallbackHandle::SharedPtr
ParameterStore::add_on_set_parameters_callback(
    node_interfaces::OnParametersSetCallbackType callback) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);
  auto handle = std::make_shared<node_interfaces::OnSetParametersCallbackHandle>();
  handle->callback = std::move(callback);
  callbacks_.emplace_front(handle);
  return handle;
}

void ParameterStore::remove_on_set_parameters_callback(
    const node_interfaces::OnSetParametersCallbackHandle* handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MutationGuard guard(mutating_);
  for (auto it = callbacks_.begin(); it != callbacks_.end(); ++it) {
    if (it->lock().get() == handle) {
      callbacks_.erase(it);
      return;
    }
  }
  throw std::runtime_error("Callback doesn't exist");
}

void ParameterStore::handle_set_parameters(
    const rcl_interfaces::srv::SetParameters::Request& request,
    rcl_interfaces::srv::SetParameters::Response& response) {
  response.results.clear();
  response.results.reserve(request.parameters.size());
  for (const auto& msg : request.parameters) {
    try {
      response.results.push_back(
          set_parameters_atomically({rclcpp::Parameter::from_parameter_msg(msg)}));
    } catch (const std::exception& ex) {
      // Not declared, empty name, unknown type tag: a refusal, not a fault of this node.
      response.results.push_back(failure(ex.what()));
    }
  }
}

void ParameterStore::handle_set_parameters_atomically(
    const rcl_interfaces::srv::SetParametersAtomically::Request& request,
    rcl_interfaces::srv::SetParametersAtomically::Response& response) {
  try {
    std::vector<rclcpp::Parameter> parameters;
    parameters.reserve(request.parameters.size());
    for (const auto& msg : request.parameters) {
      parameters.push_back(rclcpp::Parameter::from_parameter_msg(msg));
    }
    response.result = set_parameters_atomically(parameters);
  } catch (const std::exception& ex) {
    response.result = failure(ex.what());
  }
}

void ParameterStore::handle_get_parameters(
    const rcl_interfaces::srv::GetParameters::Request& request,
    rcl_interfaces::srv::GetParameters::Response& response) {
  response.values.clear();
  try {
    for (const auto& p : get_parameters(request.names)) {
      response.values.push_back(p.get_value_message());
    }
  } catch (const exceptions::ParameterNotDeclaredException&) {
    response.values.clear();
  } catch (const exceptions::ParameterUninitializedException&) {
    response.values.clear();
  }
}

}  // namespace rclcpp::detail
