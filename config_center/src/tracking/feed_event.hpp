#ifndef CONFIG_CENTER_FEED_EVENT_HPP_
#define CONFIG_CENTER_FEED_EVENT_HPP_

#include <mysql.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "tracking/change_log_commits.hpp"

namespace config_center {

// Hands one binary-log event, as the client library parsed it, to `commits`. True when the
// event completes a committed group that wrote change-log rows (or is a statement that may
// concern ROBOT): the change feed's wake-up. Needs no server, so it can be fed events read
// from a file.
bool EventCommitsChangeLog(const MARIADB_RPL_EVENT& event, ChangeLogCommits& commits);

}  // namespace config_center

#endif  // CONFIG_CENTER_FEED_EVENT_HPP_
