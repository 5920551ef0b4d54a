#ifndef CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_
#define CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_

#include <cstdint>
#include <string_view>
#include <vector>

namespace config_center {

// Reads the binary log's event groups (transactions) as they stream past and tells which
// committed group wrote rows to ROBOT.config_table_changes. A table map alone says nothing:
// a statement maps every table its triggers may touch, also when they write no change-log
// row (a global item hidden by a custom override), so only row events of the change log's
// table count. Statements logged as text (DDL such as a TRUNCATE of the change log) carry no
// rows; one that may concern ROBOT counts too, since a needless pass costs little.
class ChangeLogCommits {
public:
  // A new event group begins (its GTID event).
  void GroupStart();
  // The group maps `table_id` to database.table.
  void TableMap(uint64_t table_id, std::string_view database, std::string_view table);
  // A row event of the group for `table_id`.
  void Rows(uint64_t table_id);
  // The group committed (its XID event); true when it wrote change-log rows.
  bool Commit();
  // A statement logged as text, in the default database `database`. Ends the group on
  // COMMIT (true when it wrote change-log rows) or ROLLBACK; otherwise true for a statement
  // that may concern ROBOT, and for the commit of a prepared XA transaction.
  bool Statement(std::string_view database, std::string_view text);

private:
  void Clear();

  std::vector<uint64_t> change_log_table_ids_;  // in this group, normally one
  bool change_log_rows_ = false;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_LOG_COMMITS_HPP_
