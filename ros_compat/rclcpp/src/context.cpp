#include "rclcpp/context.hpp"

#include <dds/dds.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "rclcpp/utilities.hpp"

namespace rclcpp {

namespace {
std::mutex g_contexts_mutex;
std::vector<std::weak_ptr<Context>> g_contexts;

void register_context(const Context::SharedPtr& context) {
  std::lock_guard<std::mutex> lock(g_contexts_mutex);
  for (auto& weak : g_contexts) {
    if (weak.lock() == context) return;
  }
  g_contexts.push_back(context);
}
}  // namespace

size_t InitOptions::get_domain_id() const {
  if (domain_id_set_) return domain_id_;
  const char* env = std::getenv("ROS_DOMAIN_ID");
  if (env == nullptr || *env == '\0') return 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(env, &end, 10);
  if (end == env || *end != '\0') {
    throw std::runtime_error(std::string("failed to interpret ROS_DOMAIN_ID '") + env +
                             "' as integral number");
  }
  return static_cast<size_t>(value);
}

Context::Context() = default;

Context::~Context() {
  // Entities still held by nodes are children of the participant; deleting it releases them.
  if (participant_ > 0) dds_delete(participant_);
}

void Context::init(int argc, char const* const* argv, const rclcpp::InitOptions& init_options) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) args.emplace_back(argv[i]);
  detail::RosArguments parsed = detail::parse_ros_arguments(args);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (valid_) throw ContextAlreadyInitialized();
    init_options_ = init_options;
    (void)init_options_.get_domain_id();  // reject a malformed ROS_DOMAIN_ID now
    arguments_ = std::move(parsed);
    shutdown_reason_.clear();
    valid_ = true;
    if (interrupt_guard_ > 0) dds_set_guardcondition(interrupt_guard_, false);
  }
  register_context(shared_from_this());
}

bool Context::is_valid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

const rclcpp::InitOptions& Context::get_init_options() const { return init_options_; }
rclcpp::InitOptions Context::get_init_options() {
  std::lock_guard<std::mutex> lock(mutex_);
  return init_options_;
}

size_t Context::get_domain_id() const { return init_options_.get_domain_id(); }

std::string Context::shutdown_reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

bool Context::shutdown(const std::string& reason) {
  std::vector<OnShutdownCallback> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return false;
    valid_ = false;
    shutdown_reason_ = reason;
    callbacks = on_shutdown_callbacks_;
    if (interrupt_guard_ > 0) dds_set_guardcondition(interrupt_guard_, true);
    ++sleep_interrupts_;
  }
  sleep_cv_.notify_all();
  for (auto& callback : callbacks) callback();
  return true;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_shutdown_callbacks_.push_back(callback);
  return callback;
}

std::vector<Context::OnShutdownCallback> Context::get_on_shutdown_callbacks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return on_shutdown_callbacks_;
}

bool Context::sleep_for(const std::chrono::nanoseconds& nanoseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t interrupts = sleep_interrupts_;
  auto deadline = std::chrono::steady_clock::now() + nanoseconds;
  sleep_cv_.wait_until(lock, deadline, [&] { return sleep_interrupts_ != interrupts; });
  return sleep_interrupts_ == interrupts && valid_;
}

void Context::interrupt_all_sleep_for() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++sleep_interrupts_;
  }
  sleep_cv_.notify_all();
}

int32_t Context::dds_participant() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (participant_ > 0) return participant_;
  const auto domain = static_cast<dds_domainid_t>(init_options_.get_domain_id());
  dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
  if (participant < 0) {
    throw std::runtime_error(std::string("failed to create DDS participant on domain ") +
                             std::to_string(domain) + ": " + dds_strretcode(participant));
  }
  dds_entity_t guard = dds_create_guardcondition(participant);
  if (guard < 0) {
    dds_delete(participant);
    throw std::runtime_error("failed to create guard condition");
  }
  dds_set_guardcondition(guard, !valid_);
  participant_ = participant;
  interrupt_guard_ = guard;
  return participant_;
}

int32_t Context::interrupt_guard_condition() {
  dds_participant();
  std::lock_guard<std::mutex> lock(mutex_);
  return interrupt_guard_;
}

std::vector<Context::SharedPtr> get_contexts() {
  std::lock_guard<std::mutex> lock(g_contexts_mutex);
  std::vector<Context::SharedPtr> out;
  for (auto it = g_contexts.begin(); it != g_contexts.end();) {
    if (auto context = it->lock()) {
      out.push_back(context);
      ++it;
    } else {
      it = g_contexts.erase(it);
    }
  }
  return out;
}

namespace contexts {
Context::SharedPtr get_global_default_context() {
  static Context::SharedPtr context = std::make_shared<Context>();
  return context;
}
}  // namespace contexts

}  // namespace rclcpp
