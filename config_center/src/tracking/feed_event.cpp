#include "tracking/feed_event.hpp"

#include <string_view>

namespace config_center {

namespace {

std::string_view View(const MARIADB_STRING& text) {
  return text.str == nullptr ? std::string_view() : std::string_view(text.str, text.length);
}

bool IsRowsEvent(mariadb_rpl_event type) {
  return (type >= WRITE_ROWS_EVENT_V1 && type <= DELETE_ROWS_EVENT_V1) ||
         (type >= WRITE_ROWS_EVENT && type <= DELETE_ROWS_EVENT) ||
         (type >= WRITE_ROWS_COMPRESSED_EVENT_V1 && type <= DELETE_ROWS_COMPRESSED_EVENT);
}

}  // namespace

bool EventCommitsChangeLog(const MARIADB_RPL_EVENT& event, ChangeLogCommits& commits) {
  switch (event.event_type) {
    case GTID_EVENT:
      commits.GroupStart();
      return false;
    case TABLE_MAP_EVENT:
      commits.TableMap(event.event.table_map.table_id, View(event.event.table_map.database),
                       View(event.event.table_map.table));
      return false;
    case XID_EVENT:
      return commits.Commit();
    case QUERY_EVENT:
    case QUERY_COMPRESSED_EVENT:
      return commits.Statement(View(event.event.query.database), View(event.event.query.statement));
    default:
      if (IsRowsEvent(event.event_type)) commits.Rows(event.event.rows.table_id);
      return false;
  }
}

}  // namespace config_center
