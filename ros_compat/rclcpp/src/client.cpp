#include "rclcpp/client.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "transport.hpp"

namespace rclcpp {

struct ClientBase::Impl {
  rclcpp::Context::SharedPtr context;
  std::string name;
  dds_entity_t reader = 0;  // rr/...Reply
  dds_entity_t writer = 0;  // rq/...Request
  dds_entity_t read_condition = 0;
  detail::Guid guid{};
  std::mutex mutex;
  int64_t sequence_number = 0;
  std::vector<uint8_t> scratch;
  std::mutex wait_mutex;
  dds_entity_t wait_waitset = 0;  // discovery changes + context shutdown
};

ClientBase::ClientBase(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
                       const std::string& service_name, const rmw_qos_profile_t& qos_profile)
    : impl_(std::make_unique<Impl>()) {
  impl_->context = node_base->get_context();
  impl_->name = node_base->resolve_topic_or_service_name(service_name, true);
  const detail::ServiceEndpoints endpoints =
      detail::create_service_endpoints(*impl_->context, impl_->name, qos_profile,
                                       detail::ServiceEnd::kClient, "could not create client");
  impl_->reader = endpoints.reader;
  impl_->writer = endpoints.writer;
  impl_->guid = detail::entity_guid(impl_->reader);
  impl_->read_condition = dds_create_readcondition(impl_->reader, DDS_ANY_STATE);
  dds_set_status_mask(impl_->reader, DDS_SUBSCRIPTION_MATCHED_STATUS);
  dds_set_status_mask(impl_->writer, DDS_PUBLICATION_MATCHED_STATUS);
}

ClientBase::~ClientBase() {
  if (impl_->wait_waitset > 0) dds_delete(impl_->wait_waitset);
  dds_delete(impl_->reader);
  dds_delete(impl_->writer);
  detail::notify_entities_changed(false);
}

const char* ClientBase::get_service_name() const { return impl_->name.c_str(); }

int32_t ClientBase::read_condition() const { return impl_->read_condition; }

bool ClientBase::service_is_ready() const {
  dds_publication_matched_status_t ps;
  dds_subscription_matched_status_t ss;
  if (dds_get_publication_matched_status(impl_->writer, &ps) < 0 || ps.current_count == 0) {
    return false;
  }
  if (dds_get_subscription_matched_status(impl_->reader, &ss) < 0 || ss.current_count == 0) {
    return false;
  }
  // Both directions must reach the same server: a request reader and a reply writer of one
  // participant.
  std::set<detail::Guid> request_readers;
  std::vector<dds_instance_handle_t> handles(ps.current_count + 4);
  dds_return_t n = dds_get_matched_subscriptions(impl_->writer, handles.data(), handles.size());
  for (dds_return_t i = 0; i < std::min<dds_return_t>(n, handles.size()); ++i) {
    if (auto* ep = dds_get_matched_subscription_data(impl_->writer, handles[i])) {
      detail::Guid g;
      std::memcpy(g.data(), ep->participant_key.v, g.size());
      request_readers.insert(g);
      dds_builtintopic_free_endpoint(ep);
    }
  }
  handles.assign(ss.current_count + 4, 0);
  n = dds_get_matched_publications(impl_->reader, handles.data(), handles.size());
  bool ready = false;
  for (dds_return_t i = 0; i < std::min<dds_return_t>(n, handles.size()) && !ready; ++i) {
    if (auto* ep = dds_get_matched_publication_data(impl_->reader, handles[i])) {
      detail::Guid g;
      std::memcpy(g.data(), ep->participant_key.v, g.size());
      ready = request_readers.count(g) != 0;
      dds_builtintopic_free_endpoint(ep);
    }
  }
  return ready;
}

bool ClientBase::wait_for_service_nanoseconds(std::chrono::nanoseconds timeout) {
  if (service_is_ready()) return true;
  if (timeout == std::chrono::nanoseconds::zero() || !impl_->context->is_valid()) return false;
  std::lock_guard<std::mutex> lock(impl_->wait_mutex);
  if (impl_->wait_waitset == 0) {
    impl_->wait_waitset = dds_create_waitset(impl_->context->dds_participant());
    dds_waitset_attach(impl_->wait_waitset, impl_->writer, 1);
    dds_waitset_attach(impl_->wait_waitset, impl_->reader, 2);
    dds_waitset_attach(impl_->wait_waitset, impl_->context->interrupt_guard_condition(), 3);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Clear the matched flags first so the wait below only returns on a later change.
    uint32_t status = 0;
    dds_take_status(impl_->writer, &status, DDS_PUBLICATION_MATCHED_STATUS);
    dds_take_status(impl_->reader, &status, DDS_SUBSCRIPTION_MATCHED_STATUS);
    if (service_is_ready()) return true;
    if (!impl_->context->is_valid()) return false;
    dds_duration_t wait = DDS_INFINITY;
    if (timeout > std::chrono::nanoseconds::zero()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      wait = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    }
    dds_waitset_wait(impl_->wait_waitset, nullptr, 0, wait);
  }
}

int64_t ClientBase::next_sequence_number() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return ++impl_->sequence_number;
}

void ClientBase::send_serialized_request(int64_t sequence_number,
                                         const std::vector<uint8_t>& payload) {
  const dds_return_t rc = detail::write_one(impl_->writer, impl_->guid, sequence_number, payload);
  if (rc < 0) {
    throw exceptions::RCLError(exceptions::RCL_RET_ERROR, dds_strretcode(rc),
                               "failed to send request");
  }
}

bool ClientBase::take_and_handle() {
  detail::Guid guid;
  int64_t seq = 0;
  bool valid = false;
  std::vector<uint8_t> payload;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    payload.swap(impl_->scratch);
    const bool taken = detail::take_one(impl_->reader, guid, seq, payload, valid);
    // Replies to other clients of the same service arrive here too.
    if (!taken || !valid || guid != impl_->guid) {
      payload.swap(impl_->scratch);
      return taken;
    }
  }
  handle_serialized_response(seq, payload);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->scratch.capacity() < payload.capacity()) impl_->scratch.swap(payload);
  return true;
}

}  // namespace rclcpp
