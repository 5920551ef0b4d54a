#include <map>
#include <string>

#include "config_center/config_center.hpp"
#include "config_center/logging.hpp"
#include "config_center/target_params.hpp"

namespace config_center {

void ConfigCenter::NoteParamCall(const std::string& node_name, bool answered) {
  if (answered) {
    target_watch_.Watch(*node_, node_name);
  } else {
    // Whatever answers next may be another process with other declarations.
    target_types_.Forget(node_name);
  }
}

void ConfigCenter::ResendToRestartedTargets() {
  for (const std::string& node_name : target_watch_.Restarted(*node_)) {
    target_types_.Forget(node_name);
    ResendParams(node_name);
  }
}

void ConfigCenter::ResendParams(const std::string& node_name) {
  std::map<std::string, std::string> params;
  if (!ReadTargetParams(node_name, &params)) {
    LOG_ERROR(
        "Target {} restarted, but its parameters cannot be read; they go out when it "
        "next restarts",
        node_name);
    return;
  }
  LOG_DEBUG("Target {} restarted, sending its {} parameters again", node_name, params.size());
  for (const auto& [name, value] : params) {
    if (ParamConfigDistribute(ConfigData{name, value, node_name, kParam}) != Outcome::kDone) {
      // Gone again: its next instance brings a new GID and another round.
      LOG_ERROR("Target {} restarted, but sending it {} failed; trying again when it next appears",
                node_name, name);
      return;
    }
  }
}

}  // namespace config_center
