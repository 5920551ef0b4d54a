#include "distribution/distributor.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "logging/logging.hpp"

namespace config_center {

namespace {

// How the log names a change: by its change-log id, or by its item when the node made it.
std::string Source(const PendingChange& change) {
  return change.id > 0 ? "Change " + std::to_string(change.id)
                       : "Item \"" + change.item.name + "\"";
}

}  // namespace

Distributor::Distributor(ItemStore& store, DistributionRecord& record, BatchApplier& files,
                         Applier& params, DistributionEvents events)
    : store_(store), record_(record), files_(files), params_(params), events_(std::move(events)) {}

Applier& Distributor::ApplierOf(int32_t kind) {
  return kind == kFile ? static_cast<Applier&>(files_) : params_;
}

void Distributor::PassOver(const std::string& what) {
  if (events_.passed_over) events_.passed_over(what);
}

void Distributor::Submit(const ItemChange& change) { Queue(PendingChange{change}); }

void Distributor::Queue(PendingChange change) {
  const ConfigData& item = change.item;
  std::string why;
  bool accepted = false;
  if (item.config_type == kParam || item.config_type == kFile) {
    accepted = ApplierOf(item.config_type).Accepts(change, &why);
  } else {
    LOG_ERROR("Unknow config type");
    why = "config_type " + std::to_string(item.config_type) + " is no known kind of item";
  }
  if (!accepted) {
    LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(change), why);
    PassOver(Source(change) + ": " + why);
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
  const Target target{item.config_type, item.config_type == kParam ? item.node_name : item.name};
  targets_.Add(target, std::move(change));
}

bool Distributor::DistributeTables(size_t* in_effect) {
  EffectiveItems items;
  if (!ReadTable("global_config", &items)) {
    LOG_ERROR("Distribute global_config failed!");
    return false;
  }
  if (!ReadTable("custom_config", &items)) {
    LOG_ERROR("Distribute custom_config failed!");
    return false;
  }
  if (in_effect != nullptr) *in_effect = items.items().size();
  DistributeEffective(items);
  return true;
}

bool Distributor::ReadTable(const std::string& table, EffectiveItems* items) {
  LOG_DEBUG("ConfigDistribute table : {}", table);
  std::vector<ConfigData> rows;
  if (!store_.ReadLiveItems(table, ItemColumns::kAll, &rows)) {
    return false;
  }
  for (const ConfigData& item : rows) {
    if (item.config_type != kParam && item.config_type != kFile) {
      // Like a change of no known kind: logged, passed over, and the rest goes on.
      LOG_ERROR("Unknow config type");
      LOG_ERROR(
          "Item \"{}\" of {} can never be applied, so it is passed over: config_type {} is no "
          "known kind of item",
          item.name, table, item.config_type);
      PassOver("Item \"" + item.name + "\" of " + table + ": config_type " +
               std::to_string(item.config_type) + " is no known kind of item");
      continue;
    }
    items->Add(item);
  }
  return true;
}

void Distributor::DistributeEffective(const EffectiveItems& items) {
  // Files go into effect together (one flush for all, and a file the disk already holds is
  // not written again); parameters go to their queues, each once, with the value in effect.
  std::vector<ConfigData> files;
  for (const ConfigData& item : items.items()) {
    PendingChange change{ItemChange{0, item, false}};
    if (item.config_type == kParam) {
      Queue(std::move(change));
      continue;
    }
    std::string why;
    if (!files_.Accepts(change, &why)) {
      LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(change), why);
      PassOver(Source(change) + ": " + why);
      continue;
    }
    record_.AddFile(item.name);
    files.push_back(item);
  }
  SaveRecord();
  // A file that could not go in with the others is tried again on its own, through its
  // queue; its failure is logged already.
  for (ConfigData& item : files_.ApplyTogether(files)) {
    PendingChange alone{ItemChange{0, std::move(item), false}};
    alone.announced = true;
    Queue(std::move(alone));
  }

  // What the node put into effect earlier and the tables no longer hold goes away; what it
  // never wrote is not its to touch. (Queuing a withdrawal leaves the record as it is.)
  for (const std::string& name : record_.files()) {
    if (!items.HasFile(name)) Submit(ItemChange{0, ConfigData{name, "", "", kFile}, true});
  }
  for (const auto& [node_name, name] : record_.params()) {
    if (!items.HasParam(node_name, name)) {
      Submit(ItemChange{0, ConfigData{name, "", node_name, kParam}, true});
    }
  }
  Pump();
}

void Distributor::Pump() {
  // Also after the last change is done: a withdrawal leaves the record smaller.
  SaveRecord();
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
    for (const Target& target : due) Attempt(target);
  }
  // What this pump withdrew is forgotten on disk at once, not on the next pump.
  SaveRecord();
}

void Distributor::Attempt(const Target& target) {
  PendingChange* change = targets_.Front(target);
  if (change == nullptr) return;
  Applier& applier = ApplierOf(target.kind);
  // A held target is tried again only once it can be reached: no call to nobody.
  if (targets_.IsHeld(target) && !applier.Reachable(target)) {
    targets_.Hold(target, applier.UnreachableReason(target), TargetQueues::Clock::now());
    return;
  }
  // Only the first attempt of a change is logged; its retries are not.
  PendingChange started = *change;  // a copy: the queue may move on before Apply returns
  change->announced = true;
  targets_.Start(target);
  // An outcome told before Apply returns belongs to this pump; one told later comes from the
  // executor, and what it lets through is started from there.
  auto returned = std::make_shared<bool>(false);
  applier.Apply(target, started,
                [this, target, returned](Outcome outcome, const std::string& reason) {
                  Finish(target, outcome, reason, *returned);
                });
  *returned = true;
}

void Distributor::Finish(const Target& target, Outcome outcome, const std::string& reason,
                         bool outside_pump) {
  PendingChange* change = targets_.Front(target);
  if (change == nullptr) return;
  bool held_or_released = false;
  const auto done = [&] {
    if (targets_.Done(target)) {
      LOG_DEBUG("Released {}: it takes its changes again", target.Text());
      held_or_released = true;
    }
  };
  switch (outcome) {
    case Outcome::kDone:
      if (change->withdraw) {
        change->item.config_type == kFile
            ? record_.RemoveFile(change->item.name)
            : record_.RemoveParam(change->item.node_name, change->item.name);
      }
      done();
      break;
    case Outcome::kNever:
      LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(*change), reason);
      PassOver(Source(*change) + ": " + reason);
      done();
      break;
    case Outcome::kLater:
      if (targets_.Hold(target, reason, TargetQueues::Clock::now())) {
        LOG_ERROR("Holding back {}: {}; its later changes wait, other targets go on", target.Text(),
                  reason);
        held_or_released = true;
      }
      break;
  }
  if (held_or_released && events_.held_or_released) events_.held_or_released();
  if (outside_pump) {
    Pump();
    if (events_.attempt_ended) events_.attempt_ended();
  }
}

void Distributor::RetryReachable() {
  for (const TargetQueues::Held& held : targets_.HeldTargets()) {
    if (held.target.kind == kParam && params_.Reachable(held.target)) {
      targets_.RetryNow(held.target);
    }
  }
}

void Distributor::ResendParams(const std::string& node_name) {
  std::map<std::string, std::string> params;
  if (!store_.ReadTargetParams(node_name, ItemColumns::kParams, &params)) {
    LOG_ERROR(
        "Target {} restarted, but its parameters cannot be read; they go out when it "
        "next restarts",
        node_name);
    return;
  }
  LOG_DEBUG("Target {} restarted, sending its {} parameters again", node_name, params.size());
  // Through its queue, behind what it still has to take: the values read now are the newest.
  for (const auto& [name, value] : params) {
    Submit(ItemChange{0, ConfigData{name, value, node_name, kParam}, false});
  }
  Pump();
}

void Distributor::SaveRecord() {
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
