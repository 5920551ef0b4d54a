#ifndef CONFIG_CENTER_CHANGE_ROW_HPP_
#define CONFIG_CENTER_CHANGE_ROW_HPP_

#include "store/item_change.hpp"
#include "store/records.hpp"

namespace config_center {

// The change a change-log row describes: "insert", or "update" with deleted 0, puts its item
// into effect again; "update" with deleted set withdraws it. False for any other row (it
// describes no change the node makes). The row's texts move into the change.
bool ItemChangeFromRow(ConfigTableChangesData&& row, ItemChange* change);

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_ROW_HPP_
