#include "tracking/change_row.hpp"

#include <utility>

namespace config_center {

bool ItemChangeFromRow(ConfigTableChangesData&& row, ItemChange* change) {
  const bool distribute =
      row.change_type == "insert" || (row.change_type == "update" && row.deleted == 0);
  const bool withdraw = row.change_type == "update" && row.deleted != 0;
  if (!distribute && !withdraw) return false;
  *change = ItemChange{row.id,
                       ConfigData{std::move(row.name), withdraw ? "" : std::move(row.value),
                                  std::move(row.node_name), row.config_type},
                       withdraw};
  return true;
}

}  // namespace config_center
