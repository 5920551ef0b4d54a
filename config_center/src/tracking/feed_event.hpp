#ifndef CONFIG_CENTER_FEED_EVENT_HPP_
#define CONFIG_CENTER_FEED_EVENT_HPP_

#include <string>

#include <mysql.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "tracking/change_log_commits.hpp"

namespace config_center {

// What the feed knows of the change log's table while it streams: its table map as the
// current group gave it (the library decodes row events against it, so it is kept), and
// whether that map has the columns of db/schema.sql.
struct ChangeLogTable {
  MARIADB_RPL_EVENT* map = nullptr;
  bool matches = false;
  std::string mismatch;
  ChangeLogTable() = default;
  ~ChangeLogTable() { mariadb_free_rpl_event(map); }
  ChangeLogTable(const ChangeLogTable&) = delete;
  ChangeLogTable& operator=(const ChangeLogTable&) = delete;
};

// True when the event completes a committed group that wrote change-log rows (or a
// statement that may concern ROBOT). Takes a table map of the change log's table into
// `table` (and sets `*event` to null: the next fetch must not reuse it).
// Needs no server: the fuzz target feeds it events read from a file.
bool HandleFeedEvent(MARIADB_RPL* rpl, MARIADB_RPL_EVENT** event, ChangeLogTable& table,
                     bool take_rows, ChangeLogCommits& commits);

}  // namespace config_center

#endif  // CONFIG_CENTER_FEED_EVENT_HPP_
