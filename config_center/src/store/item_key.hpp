#ifndef CONFIG_CENTER_ITEM_KEY_HPP_
#define CONFIG_CENTER_ITEM_KEY_HPP_

#include <string>
#include <tuple>

#include "store/records.hpp"

namespace config_center {

// Which item: a parameter of a node (kParam, node_name, name) or a file (kFile, name;
// node_name empty), as the triggers tell items apart.
struct ItemKey {
  int config_type = 0;
  std::string node_name;
  std::string name;

  static ItemKey Of(const ConfigData& item) {
    return {item.config_type, item.config_type == kFile ? std::string() : item.node_name,
            item.name};
  }
  bool operator<(const ItemKey& other) const {
    return std::tie(config_type, node_name, name) <
           std::tie(other.config_type, other.node_name, other.name);
  }
  bool operator==(const ItemKey& other) const {
    return config_type == other.config_type && node_name == other.node_name && name == other.name;
  }
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_KEY_HPP_
