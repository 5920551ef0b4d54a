#include "tracking/feed_event.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "tracking/change_log_rows.hpp"

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

// The change-log rows of a rows event, decoded into `commits`, or why not.
void DecodeRows(MARIADB_RPL* rpl, MARIADB_RPL_EVENT* event, ChangeLogTable& table, bool take_rows,
                ChangeLogCommits& commits) {
  std::string why;
  std::vector<ConfigTableChangesData> rows;
  if (!take_rows) {
    why = "taking rows from the binary log is off";
  } else if (table.map == nullptr ||
             table.map->event.table_map.table_id != event->event.rows.table_id) {
    why = "a rows event without its table map";
  } else if (!table.matches) {
    why = table.mismatch;
  } else if (ExtractChangeLogRows(rpl, table.map, event, &rows, &why)) {
    commits.AddRows(std::move(rows));
    return;
  }
  commits.RowsNotDecoded(why);
}

}  // namespace

// True when the event completes a committed group that wrote change-log rows (or a
// statement that may concern ROBOT). Takes a table map of the change log's table into
// `table` (and sets `*event` to null: the next fetch must not reuse it).
bool HandleFeedEvent(MARIADB_RPL* rpl, MARIADB_RPL_EVENT** event, ChangeLogTable& table,
                     bool take_rows, ChangeLogCommits& commits) {
  const MARIADB_RPL_EVENT& e = **event;
  switch (e.event_type) {
    case GTID_EVENT:
      commits.GroupStart();
      return false;
    case TABLE_MAP_EVENT: {
      const std::string_view database = View(e.event.table_map.database);
      const std::string_view name = View(e.event.table_map.table);
      commits.TableMap(e.event.table_map.table_id, database, name);
      if (database == "ROBOT" && name == "config_table_changes") {
        mariadb_free_rpl_event(table.map);
        table.map = *event;
        *event = nullptr;
        table.mismatch.clear();
        table.matches = ChangeLogTableMatches(*table.map, &table.mismatch);
      }
      return false;
    }
    case XID_EVENT:
      return commits.Commit();
    case QUERY_EVENT:
    case QUERY_COMPRESSED_EVENT:
      return commits.Statement(View(e.event.query.database), View(e.event.query.statement));
    default:
      if (IsRowsEvent(e.event_type) && commits.Rows(e.event.rows.table_id)) {
        DecodeRows(rpl, *event, table, take_rows, commits);
      }
      return false;
  }
}

}  // namespace config_center
