#ifndef CONFIG_CENTER_CHANGE_LOG_ROWS_HPP_
#define CONFIG_CENTER_CHANGE_LOG_ROWS_HPP_

#include <string>
#include <vector>

#include <mysql.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "store/records.hpp"

namespace config_center {

// The rows of config_table_changes as the binary log carries them, decoded by the client
// library (mariadb_rpl_extract_rows), so that a change need not be read again with a SELECT.
// Only a table of exactly the shape db/schema.sql gives it is decoded: any other (a column
// added or changed by hand), a row image that is not whole (binlog_row_image other than
// FULL) or an event the library does not decode is refused with the reason, and the change
// log is then read with a SELECT as before.

// True when the table map of ROBOT.config_table_changes has the columns of db/schema.sql, in
// order and of their types; otherwise `why` says what differs.
bool ChangeLogTableMatches(const MARIADB_RPL_EVENT& table_map, std::string* why);

// The rows inserted by `rows` (a rows event of the table `table_map` maps, which
// ChangeLogTableMatches accepted), appended to `out` in the order the event holds them.
// False when the event is not an insert (`why` empty: emptying the log is routine), holds no
// whole rows or does not decode (`why` says which).
bool ExtractChangeLogRows(MARIADB_RPL* rpl, MARIADB_RPL_EVENT* table_map, MARIADB_RPL_EVENT* rows,
                          std::vector<ConfigTableChangesData>* out, std::string* why);

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_LOG_ROWS_HPP_
