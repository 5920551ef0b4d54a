#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "node/config_center.hpp"
#include "logging/logging.hpp"
#include "params/param_service_name.hpp"

namespace config_center {

namespace {

std::string Source(const PendingChange& change) {
  return change.id > 0 ? "Change " + std::to_string(change.id)
                       : "Item \"" + change.item.name + "\"";
}

}  // namespace

void ConfigCenter::Submit(PendingChange change) {
  const ConfigData& item = change.item;
  Target target{item.config_type, ""};
  std::string why;
  bool never = false;
  if (item.config_type == kParam) {
    never = !IsValidNodeName(item.node_name, &why);
    target.name = item.node_name;
  } else if (item.config_type == kFile) {
    std::string path;
    never = !ConfigFilePath(kConfigsDir, item.name, &path, &why);
    if (never) {
      LOG_ERROR(change.withdraw ? "Refused to delete config file \"{}\": {}"
                                : "Refused config file name \"{}\": {}",
                item.name, why);
      why = "the file name \"" + item.name + "\" is refused: " + why;
    }
    target.name = item.name;
  } else {
    LOG_ERROR("Unknow config type");
    why = "config_type " + std::to_string(item.config_type) + " is no known kind of item";
    never = true;
  }
  if (never) {
    LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(change), why);
    NotePassedOver(Source(change) + ": " + why);
    return;
  }
  // Noted before the item goes out, so that the record never misses what is in effect.
  if (!change.withdraw) {
    if (item.config_type == kParam) {
      record_.AddParam(item.node_name, item.name);
    } else {
      record_.AddFile(item.name);
    }
  }
  targets_.Add(target, std::move(change));
}

void ConfigCenter::PumpTargets() {
  if (pumping_) return;
  // Also after the last change is done: a withdrawal leaves the record smaller.
  SaveRecord();
  if (targets_.empty()) return;
  pumping_ = true;
  // A file change is done (or held) at once and its next change may be due at once; a
  // parameter change waits for its answer. Each round makes progress, so this ends.
  for (;;) {
    std::vector<Target> due = targets_.Due(TargetQueues::Clock::now());
    // Start-up waits for no retry: a held target is served once the node runs.
    if (starting_) {
      due.erase(std::remove_if(due.begin(), due.end(),
                               [this](const Target& target) { return targets_.IsHeld(target); }),
                due.end());
    }
    if (due.empty()) break;
    for (const Target& target : due) AttemptTarget(target);
  }
  pumping_ = false;
}

void ConfigCenter::AttemptTarget(const Target& target) {
  PendingChange* change = targets_.Front(target);
  if (change == nullptr) return;
  // Only the first attempt of a change is logged; its retries are not.
  const bool first = !change->announced;
  change->announced = true;
  if (target.kind == kFile) {
    std::string why;
    Outcome outcome;
    if (change->withdraw) {
      ConfigTableChangesData row;
      row.name = change->item.name;
      outcome = first ? DeleteFileConfig(row, &why) : RemoveConfigItem(row.name, &why);
    } else {
      outcome =
          first ? FileConfigDistribute(change->item, &why) : WriteConfigItem(change->item, &why);
    }
    FinishAttempt(target, outcome, why);
    return;
  }
  // A held node is asked again only once it is on the graph: no call to nobody.
  if (targets_.IsHeld(target) && !TargetWatch::Served(*node_, target.name)) {
    targets_.Hold(target, "node " + target.name + " is not running", TargetQueues::Clock::now());
    return;
  }
  targets_.Start(target);
  // A copy: the call may end (and the queue move on) before these return.
  PendingChange started = *change;
  started.announced = !first;
  if (started.withdraw) {
    DeleteParamConfig(target, started);
  } else {
    ParamConfigDistribute(target, started);
  }
}

void ConfigCenter::FinishAttempt(const Target& target, Outcome outcome, const std::string& reason) {
  PendingChange* change = targets_.Front(target);
  if (change == nullptr) return;
  bool held_or_released = false;
  switch (outcome) {
    case Outcome::kDone:
      if (change->withdraw) {
        change->item.config_type == kFile
            ? record_.RemoveFile(change->item.name)
            : record_.RemoveParam(change->item.node_name, change->item.name);
      }
      if (targets_.Done(target)) {
        LOG_DEBUG("Released {}: it takes its changes again", target.Text());
        held_or_released = true;
      }
      break;
    case Outcome::kNever:
      LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(*change), reason);
      NotePassedOver(Source(*change) + ": " + reason);
      if (targets_.Done(target)) {
        LOG_DEBUG("Released {}: it takes its changes again", target.Text());
        held_or_released = true;
      }
      break;
    case Outcome::kLater:
      if (targets_.Hold(target, reason, TargetQueues::Clock::now())) {
        LOG_ERROR("Holding back {}: {}; its later changes wait, other targets go on", target.Text(),
                  reason);
        held_or_released = true;
      }
      break;
  }
  if (held_or_released) NotifyStatus();
  // An answer arrives from the executor, outside any pump: the target's next change follows,
  // and the alarm covers what it started.
  if (!pumping_) {
    PumpTargets();
    Reschedule();
  }
}

void ConfigCenter::RetryReappearedTargets() {
  for (const TargetQueues::Held& held : targets_.HeldTargets()) {
    if (held.target.kind == kParam && TargetWatch::Served(*node_, held.target.name)) {
      targets_.RetryNow(held.target);
    }
  }
}

void ConfigCenter::SaveRecord() {
  if (!record_.changed()) return;
  std::string why;
  const bool saved = record_.Save(&why);
  // Said once: the node goes on, but a restart may then leave withdrawn items in effect.
  if (!saved && !record_failing_) {
    LOG_ERROR("Cannot keep the record of what was distributed: {}", why);
  } else if (saved && record_failing_) {
    LOG_DEBUG("The record of what was distributed is kept again ({})", record_.path());
  }
  record_failing_ = !saved;
}

}  // namespace config_center
