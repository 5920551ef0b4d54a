#include <map>
#include <string>

#include "node/config_center.hpp"
#include "logging/logging.hpp"

namespace config_center {

void ConfigCenter::NoteParamCall(const std::string& node_name, bool answered) {
  if (answered) {
    target_watch_.Watch(*node_, node_name);
  } else {
    // Whatever answers next may be another process with other declarations.
    target_types_.Forget(node_name);
  }
}

void ConfigCenter::ResendToRestartedTargets(bool graph_changed) {
  for (const std::string& node_name : target_watch_.Restarted(*node_, graph_changed)) {
    target_types_.Forget(node_name);
    ResendParams(node_name);
  }
}

void ConfigCenter::ResendParams(const std::string& node_name) {
  std::map<std::string, std::string> params;
  if (!ReadTargetParams(node_name, ItemColumns::kParams, &params)) {
    LOG_ERROR(
        "Target {} restarted, but its parameters cannot be read; they go out when it "
        "next restarts",
        node_name);
    return;
  }
  LOG_DEBUG("Target {} restarted, sending its {} parameters again", node_name, params.size());
  // Through its queue, behind what it still has to take: the values read now are the newest.
  for (const auto& [name, value] : params) {
    Submit(PendingChange{0, ConfigData{name, value, node_name, kParam}, false, false});
  }
  PumpTargets();
}

}  // namespace config_center
