#include "transport.hpp"

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "rclcpp/exceptions.hpp"

namespace rclcpp {
namespace detail {

namespace {
std::mutex g_topics_mutex;
std::map<std::pair<dds_entity_t, std::string>, dds_entity_t> g_topics;
}  // namespace

void check(dds_return_t rc, const char* prefix) {
  if (rc < 0) throw exceptions::RCLError(exceptions::RCL_RET_ERROR, dds_strretcode(rc), prefix);
}

dds_entity_t service_topic(rclcpp::Context& context, const std::string& topic_name) {
  const dds_entity_t participant = context.dds_participant();
  std::lock_guard<std::mutex> lock(g_topics_mutex);
  auto key = std::make_pair(participant, topic_name);
  auto it = g_topics.find(key);
  if (it != g_topics.end()) return it->second;
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  dds_entity_t topic = dds_create_topic(participant, &rclcpp_compat_ServiceSample_desc,
                                        topic_name.c_str(), qos, nullptr);
  dds_delete_qos(qos);
  check(topic, "could not create topic");
  g_topics.emplace(key, topic);
  return topic;
}

dds_qos_t* service_qos(const rmw_qos_profile_t& profile) {
  dds_qos_t* qos = dds_create_qos();
  if (profile.reliability == RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT) {
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  }
  if (profile.history == RMW_QOS_POLICY_HISTORY_KEEP_ALL) {
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  } else {
    const int32_t depth = profile.depth == 0 ? 1 : static_cast<int32_t>(profile.depth);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
  }
  dds_qset_durability(qos, profile.durability == RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL
                               ? DDS_DURABILITY_TRANSIENT_LOCAL
                               : DDS_DURABILITY_VOLATILE);
  return qos;
}

ServiceEndpoints create_service_endpoints(rclcpp::Context& context, const std::string& service_name,
                                          const rmw_qos_profile_t& qos_profile, ServiceEnd end,
                                          const char* failure) {
  const dds_entity_t participant = context.dds_participant();
  const dds_entity_t requests = service_topic(context, "rq" + service_name + "Request");
  const dds_entity_t replies = service_topic(context, "rr" + service_name + "Reply");
  const bool server = end == ServiceEnd::kServer;
  dds_qos_t* qos = service_qos(qos_profile);
  ServiceEndpoints endpoints{
      dds_create_reader(participant, server ? requests : replies, qos, nullptr),
      dds_create_writer(participant, server ? replies : requests, qos, nullptr)};
  dds_delete_qos(qos);
  if (endpoints.reader < 0 || endpoints.writer < 0) {
    if (endpoints.reader > 0) dds_delete(endpoints.reader);
    if (endpoints.writer > 0) dds_delete(endpoints.writer);
    throw exceptions::RCLError(
        exceptions::RCL_RET_ERROR,
        dds_strretcode(endpoints.reader < 0 ? endpoints.reader : endpoints.writer), failure);
  }
  return endpoints;
}

Guid entity_guid(dds_entity_t entity) {
  dds_guid_t guid;
  check(dds_get_guid(entity, &guid), "could not read endpoint id");
  Guid out;
  std::memcpy(out.data(), guid.v, out.size());
  return out;
}

bool take_one(dds_entity_t reader, Guid& guid, int64_t& sequence_number,
              std::vector<uint8_t>& payload, bool& valid) {
  void* sample = nullptr;
  dds_sample_info_t info;
  const dds_return_t n = dds_take(reader, &sample, &info, 1, 1);
  if (n <= 0) return false;
  valid = info.valid_data;
  if (valid) {
    const auto* s = static_cast<const rclcpp_compat_ServiceSample*>(sample);
    std::memcpy(guid.data(), s->client_guid, guid.size());
    sequence_number = s->sequence_number;
    payload.assign(s->payload._buffer, s->payload._buffer + s->payload._length);
  }
  dds_return_loan(reader, &sample, n);
  return true;
}

dds_return_t write_one(dds_entity_t writer, const Guid& guid, int64_t sequence_number,
                       const std::vector<uint8_t>& payload) {
  rclcpp_compat_ServiceSample s;
  std::memcpy(s.client_guid, guid.data(), guid.size());
  s.sequence_number = sequence_number;
  s.payload._maximum = static_cast<uint32_t>(payload.size());
  s.payload._length = static_cast<uint32_t>(payload.size());
  s.payload._buffer = const_cast<uint8_t*>(payload.data());
  s.payload._release = false;
  return dds_write(writer, &s);
}

}  // namespace detail
}  // namespace rclcpp
