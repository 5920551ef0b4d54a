#include "tracking/change_row.hpp"

namespace config_center {

bool ItemChangeFromRow(const ConfigTableChangesData& row, ItemChange* change) {
  const bool distribute =
      row.change_type == "insert" || (row.change_type == "update" && row.deleted == 0);
  const bool withdraw = row.change_type == "update" && row.deleted != 0;
  if (!distribute && !withdraw) return false;
  *change = ItemChange{
      row.id, ConfigData{row.name, withdraw ? "" : row.value, row.node_name, row.config_type},
      withdraw};
  return true;
}

}  // namespace config_center
