#ifndef CONFIG_CENTER_ITEM_CHANGE_HPP_
#define CONFIG_CENTER_ITEM_CHANGE_HPP_

#include <cstdint>

#include "store/records.hpp"

namespace config_center {

// One change of one item, the one form a change has on its way from the change log (or from
// start-up, a resynchronisation, a restarted target) to its target: the item to put into
// effect again, or its withdrawal (`item.value` then empty).
struct ItemChange {
  int64_t id = 0;  // its change-log id; 0 when the node made it from the tables
  ConfigData item;
  bool withdraw = false;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_CHANGE_HPP_
