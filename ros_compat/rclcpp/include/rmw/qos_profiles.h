#ifndef RMW__QOS_PROFILES_H_
#define RMW__QOS_PROFILES_H_

#include "rmw/types.h"

#ifdef __cplusplus
extern "C" {
#endif

static const rmw_qos_profile_t rmw_qos_profile_services_default = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    10,
    RMW_QOS_POLICY_RELIABILITY_RELIABLE,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_DURATION_UNSPECIFIED,
    RMW_DURATION_UNSPECIFIED,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_DURATION_UNSPECIFIED,
    false};

static const rmw_qos_profile_t rmw_qos_profile_default = {RMW_QOS_POLICY_HISTORY_KEEP_LAST,
                                                          10,
                                                          RMW_QOS_POLICY_RELIABILITY_RELIABLE,
                                                          RMW_QOS_POLICY_DURABILITY_VOLATILE,
                                                          RMW_DURATION_UNSPECIFIED,
                                                          RMW_DURATION_UNSPECIFIED,
                                                          RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
                                                          RMW_DURATION_UNSPECIFIED,
                                                          false};

static const rmw_qos_profile_t rmw_qos_profile_parameters = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    1000,
    RMW_QOS_POLICY_RELIABILITY_RELIABLE,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_DURATION_UNSPECIFIED,
    RMW_DURATION_UNSPECIFIED,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_DURATION_UNSPECIFIED,
    false};

#ifdef __cplusplus
}
#endif

#endif  // RMW__QOS_PROFILES_H_
