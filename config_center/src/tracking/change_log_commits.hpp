#ifndef CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_
#define CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.hpp"

namespace config_center {

// Reads the binary log's event groups (transactions) as they stream past and tells which
// committed group wrote rows to ROBOT.config_table_changes. A table map alone says nothing:
// a statement maps every table its triggers may touch, also when they write no change-log
// row (a global item hidden by a custom override), so only row events of the change log's
// table count. Statements logged as text (DDL such as a TRUNCATE of the change log) carry no
// rows; one that may concern ROBOT counts too, since a needless pass costs little.
//
// Besides, it keeps the change-log rows a group wrote as the feed decoded them from its row
// events, so that a commit hands them on whole, in the order the log holds them.
class ChangeLogCommits {
public:
  // What the last committed group that counted wrote to the change log.
  struct Committed {
    std::vector<ConfigTableChangesData> rows;  // in the order of the log
    // False when the rows are not all here (a row event not decoded, rows updated or deleted,
    // a statement logged as text, an XA commit): the change log must be read with a SELECT.
    bool complete = false;
    std::string why_incomplete;  // the first reason, when one was found while decoding
  };

  // At most this many bytes of rows are kept for one group; a larger group is kept without
  // them (incomplete).
  explicit ChangeLogCommits(size_t kept_bytes = SIZE_MAX) : kept_bytes_(kept_bytes) {}

  // A new event group begins (its GTID event).
  void GroupStart();
  // The group maps `table_id` to database.table.
  void TableMap(uint64_t table_id, std::string_view database, std::string_view table);
  // A row event of the group for `table_id`; true when that is the change log's table.
  bool Rows(uint64_t table_id);
  // The change-log rows of the group's last row event, decoded; or, with `why`, that they
  // could not be.
  void AddRows(std::vector<ConfigTableChangesData>&& rows);
  void RowsNotDecoded(const std::string& why);
  // The group committed (its XID event); true when it wrote change-log rows.
  bool Commit();
  // A statement logged as text, in the default database `database`. Ends the group on
  // COMMIT (true when it wrote change-log rows) or ROLLBACK; otherwise true for a statement
  // that may concern ROBOT, and for the commit of a prepared XA transaction.
  bool Statement(std::string_view database, std::string_view text);
  // After Commit() or Statement() returned true: what that group wrote.
  Committed TakeCommitted();

private:
  void Clear();

  std::vector<uint64_t> change_log_table_ids_;  // in this group, normally one
  bool change_log_rows_ = false;
  size_t kept_bytes_;
  std::vector<ConfigTableChangesData> rows_;
  size_t rows_bytes_ = 0;
  bool rows_complete_ = true;
  std::string why_incomplete_;
  Committed committed_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_
