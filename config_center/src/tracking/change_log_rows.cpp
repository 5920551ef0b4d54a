#include "tracking/change_log_rows.hpp"

#include <cstdint>
#include <string_view>

namespace config_center {

namespace {

// config_table_changes as db/schema.sql makes it, column by column: the type the binary log
// gives each (a TEXT column is a BLOB there, told apart by its length bytes).
struct Column {
  const char* name;
  enum_field_types type;
};
constexpr Column kColumns[] = {
    {"id", MYSQL_TYPE_LONGLONG},          {"source_table", MYSQL_TYPE_VARCHAR},
    {"name", MYSQL_TYPE_VARCHAR},         {"value", MYSQL_TYPE_BLOB},
    {"node_name", MYSQL_TYPE_VARCHAR},    {"change_type", MYSQL_TYPE_VARCHAR},
    {"config_type", MYSQL_TYPE_LONG},     {"deleted", MYSQL_TYPE_LONG},
    {"changed_at", MYSQL_TYPE_TIMESTAMP2}};
constexpr uint32_t kColumnCount = sizeof kColumns / sizeof kColumns[0];
enum ColumnIndex {
  kId = 0,
  kName = 2,
  kValue = 3,
  kNodeName = 4,
  kChangeType = 5,
  kConfigType = 6,
  kDeleted = 7
};

bool IsInsert(mariadb_rpl_event type) {
  return type == WRITE_ROWS_EVENT_V1 || type == WRITE_ROWS_EVENT ||
         type == WRITE_ROWS_COMPRESSED_EVENT_V1;
}

bool AllColumnsPresent(const unsigned char* bitmap, uint32_t columns) {
  if (bitmap == nullptr) return false;
  for (uint32_t i = 0; i < columns; ++i) {
    if (((bitmap[i / 8] >> (i % 8)) & 1) == 0) return false;
  }
  return true;
}

std::string Text(const MARIADB_RPL_VALUE& column) {
  if (column.is_null || column.val.str.str == nullptr) return "";
  return std::string(column.val.str.str, column.val.str.length);
}

bool IsText(const MARIADB_RPL_VALUE& column) {
  switch (column.field_type) {
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ChangeLogTableMatches(const MARIADB_RPL_EVENT& table_map, std::string* why) {
  const auto& map = table_map.event.table_map;
  if (map.column_count != kColumnCount || map.column_types.str == nullptr ||
      map.column_types.length < kColumnCount) {
    *why = "config_table_changes has " + std::to_string(map.column_count) + " columns, not " +
           std::to_string(kColumnCount);
    return false;
  }
  for (uint32_t i = 0; i < kColumnCount; ++i) {
    const auto type = static_cast<unsigned char>(map.column_types.str[i]);
    if (type != kColumns[i].type) {
      *why = "column " + std::to_string(i + 1) + " of config_table_changes (" + kColumns[i].name +
             " in db/schema.sql) has binary log type " + std::to_string(type) + ", not " +
             std::to_string(kColumns[i].type);
      return false;
    }
  }
  return true;
}

bool ExtractChangeLogRows(MARIADB_RPL* rpl, MARIADB_RPL_EVENT* table_map, MARIADB_RPL_EVENT* rows,
                          std::vector<ConfigTableChangesData>* out, std::string* why) {
  const auto& event = rows->event.rows;
  if (!IsInsert(rows->event_type)) {
    why->clear();  // rows updated or deleted (the log emptied): routine, nothing to say
    return false;
  }
  if (event.column_count != kColumnCount || !AllColumnsPresent(event.column_bitmap, kColumnCount)) {
    *why = "the binary log holds partial rows (binlog_row_image is not FULL)";
    return false;
  }
  if (event.row_data == nullptr || event.row_data_size == 0) {
    *why = "a rows event the client library does not decode (event type " +
           std::to_string(rows->event_type) + ")";
    return false;
  }
  const MARIADB_RPL_ROW* row = mariadb_rpl_extract_rows(rpl, table_map, rows);
  if (row == nullptr) {
    *why =
        std::string("the client library could not decode a rows event: ") + mariadb_rpl_error(rpl);
    return false;
  }
  for (; row != nullptr; row = row->next) {
    const MARIADB_RPL_VALUE* c = row->columns;
    if (row->column_count != kColumnCount || c[kId].is_null ||
        c[kId].field_type != MYSQL_TYPE_LONGLONG || !IsText(c[kName]) || !IsText(c[kChangeType])) {
      *why = "a change-log row decoded into unexpected columns";
      return false;
    }
    ConfigTableChangesData change;
    change.id = c[kId].val.ll;
    change.name = Text(c[kName]);
    change.value = Text(c[kValue]);
    change.node_name = Text(c[kNodeName]);
    change.change_type = Text(c[kChangeType]);
    // As the query layer reads them: NULL is 0.
    change.config_type = c[kConfigType].is_null ? 0 : static_cast<int32_t>(c[kConfigType].val.ll);
    change.deleted = c[kDeleted].is_null ? 0 : static_cast<int32_t>(c[kDeleted].val.ll);
    out->push_back(std::move(change));
  }
  return true;
}

}  // namespace config_center
