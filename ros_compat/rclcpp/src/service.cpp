#include "rclcpp/service.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "transport.hpp"

namespace rclcpp {

namespace {
// How long a reply waits for the requesting client's reply reader to be matched.
constexpr auto kReplyMatchTimeout = std::chrono::milliseconds(100);
}  // namespace

struct ServiceBase::Impl {
  rclcpp::Context::SharedPtr context;
  std::string name;
  dds_entity_t reader = 0;
  dds_entity_t writer = 0;
  dds_entity_t read_condition = 0;
  dds_entity_t match_waitset = 0;
  std::mutex mutex;  // guards the members below and the writer's matched status
  std::unordered_map<dds_instance_handle_t, detail::Guid> matched_readers;
  std::vector<dds_instance_handle_t> handles;
  std::vector<uint8_t> scratch;

  bool reader_matched(const detail::Guid& guid) {
    for (;;) {
      const dds_return_t n = dds_get_matched_subscriptions(writer, handles.data(), handles.size());
      if (n < 0) return false;
      if (static_cast<size_t>(n) <= handles.size()) {
        handles.resize(n);
        break;
      }
      handles.resize(n);
    }
    bool found = false;
    for (dds_instance_handle_t h : handles) {
      auto it = matched_readers.find(h);
      if (it == matched_readers.end()) {
        dds_builtintopic_endpoint_t* ep = dds_get_matched_subscription_data(writer, h);
        if (ep == nullptr) continue;
        detail::Guid g;
        std::memcpy(g.data(), ep->key.v, g.size());
        dds_builtintopic_free_endpoint(ep);
        it = matched_readers.emplace(h, g).first;
      }
      found = found || it->second == guid;
    }
    // Forget readers that are gone, so the cache stays the size of the matched set.
    if (matched_readers.size() > 2 * handles.size() + 16) {
      std::unordered_map<dds_instance_handle_t, detail::Guid> kept;
      for (dds_instance_handle_t h : handles) {
        auto it = matched_readers.find(h);
        if (it != matched_readers.end()) kept.emplace(*it);
      }
      matched_readers.swap(kept);
    }
    handles.resize(handles.capacity());
    return found;
  }
};

ServiceBase::ServiceBase(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
                         const std::string& service_name, const rmw_qos_profile_t& qos_profile)
    : impl_(std::make_unique<Impl>()) {
  impl_->context = node_base->get_context();
  impl_->name = node_base->resolve_topic_or_service_name(service_name, true);
  const detail::ServiceEndpoints endpoints =
      detail::create_service_endpoints(*impl_->context, impl_->name, qos_profile,
                                       detail::ServiceEnd::kServer, "could not create service");
  impl_->reader = endpoints.reader;
  impl_->writer = endpoints.writer;
  impl_->read_condition = dds_create_readcondition(impl_->reader, DDS_ANY_STATE);
  dds_set_status_mask(impl_->writer, DDS_PUBLICATION_MATCHED_STATUS);
  impl_->match_waitset = dds_create_waitset(impl_->context->dds_participant());
  dds_waitset_attach(impl_->match_waitset, impl_->writer, 0);
  impl_->handles.resize(8);
}

ServiceBase::~ServiceBase() {
  dds_delete(impl_->match_waitset);
  dds_delete(impl_->reader);  // also deletes the read condition
  dds_delete(impl_->writer);
  detail::notify_entities_changed(false);
}

const char* ServiceBase::get_service_name() { return impl_->name.c_str(); }

int32_t ServiceBase::read_condition() const { return impl_->read_condition; }

bool ServiceBase::take_and_handle() {
  detail::Guid guid;
  int64_t seq = 0;
  bool valid = false;
  std::vector<uint8_t> payload;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    payload.swap(impl_->scratch);
    const bool taken = detail::take_one(impl_->reader, guid, seq, payload, valid);
    if (!taken || !valid) {
      payload.swap(impl_->scratch);
      return taken;
    }
  }
  rmw_request_id_t request_id;
  std::memcpy(request_id.writer_guid, guid.data(), guid.size());
  request_id.sequence_number = seq;
  handle_serialized_request(request_id, payload);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->scratch.capacity() < payload.capacity()) impl_->scratch.swap(payload);
  return true;
}

void ServiceBase::send_serialized_response(const rmw_request_id_t& request_id,
                                           const std::vector<uint8_t>& payload) {
  detail::Guid guid;
  std::memcpy(guid.data(), request_id.writer_guid, guid.size());
  std::lock_guard<std::mutex> lock(impl_->mutex);
  // A reply written before the writer has matched the client's reader would be dropped.
  const auto deadline = std::chrono::steady_clock::now() + kReplyMatchTimeout;
  while (!impl_->reader_matched(guid)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      RCLCPP_WARN(rclcpp::get_logger("rclcpp"),
                  "failed to send response to %s (timeout): client will not receive response",
                  impl_->name.c_str());
      return;
    }
    const dds_duration_t left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    dds_waitset_wait(impl_->match_waitset, nullptr, 0, left);
    uint32_t status = 0;
    dds_take_status(impl_->writer, &status, DDS_PUBLICATION_MATCHED_STATUS);
  }
  const dds_return_t rc =
      detail::write_one(impl_->writer, guid, request_id.sequence_number, payload);
  if (rc < 0) {
    throw exceptions::RCLError(exceptions::RCL_RET_ERROR, dds_strretcode(rc),
                               "failed to send response");
  }
}

}  // namespace rclcpp
