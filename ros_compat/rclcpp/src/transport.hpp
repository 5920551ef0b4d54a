// DDS entities of the service topics: one keyless sample type (ServiceSample) on
// rq/<service>Request and rr/<service>Reply.
#ifndef RCLCPP_SRC_TRANSPORT_HPP_
#define RCLCPP_SRC_TRANSPORT_HPP_

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ServiceSample.h"
#include "rclcpp/context.hpp"
#include "rmw/types.h"

namespace rclcpp {
namespace detail {

using Guid = std::array<uint8_t, 16>;

/// The (cached) topic of one name in the context's participant.
dds_entity_t service_topic(rclcpp::Context& context, const std::string& topic_name);
/// Reader or writer QoS for a service endpoint.
dds_qos_t* service_qos(const rmw_qos_profile_t& profile);
Guid entity_guid(dds_entity_t entity);

/// The reader and writer of one end of a service: a client reads replies and writes requests,
/// a server reads requests and writes replies. Throws RCLError with `failure` when DDS
/// refuses either.
struct ServiceEndpoints {
  dds_entity_t reader;
  dds_entity_t writer;
};
enum class ServiceEnd { kClient, kServer };
ServiceEndpoints create_service_endpoints(rclcpp::Context& context, const std::string& service_name,
                                          const rmw_qos_profile_t& qos_profile, ServiceEnd end,
                                          const char* failure);

/// Takes one sample into (guid, seq, payload); false when none was waiting. Invalid samples
/// (disposals and the like) are consumed and reported through `valid`.
bool take_one(dds_entity_t reader, Guid& guid, int64_t& sequence_number,
              std::vector<uint8_t>& payload, bool& valid);
/// dds_write of one sample; returns the DDS return code.
dds_return_t write_one(dds_entity_t writer, const Guid& guid, int64_t sequence_number,
                       const std::vector<uint8_t>& payload);

/// Throws RCLError with `prefix` when rc is an error.
void check(dds_return_t rc, const char* prefix);

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP_SRC_TRANSPORT_HPP_
