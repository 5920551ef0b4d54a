#include "distribution/distributor.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <thread>
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
                         Applier& params, DistributionEvents events, int64_t part_bytes)
    : store_(store),
      record_(record),
      files_(files),
      params_(params),
      events_(std::move(events)),
      part_bytes_(part_bytes) {}

Applier& Distributor::ApplierOf(int32_t kind) {
  return kind == kFile ? static_cast<Applier&>(files_) : params_;
}

void Distributor::PassOver(const std::string& what) {
  if (events_.passed_over) events_.passed_over(what);
}

void Distributor::Tell(const PendingChange& change, Outcome outcome, const std::string& reason) {
  if (events_.outcome) events_.outcome(change, outcome, reason);
}

void Distributor::Submit(ItemChange change) { Queue(PendingChange{std::move(change)}); }

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
    Tell(change, Outcome::kNever, why);
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
  // A change for a held target waits with it, and is said to, with the target's reason: an
  // operator asking where a change has not arrived sees why, not silence.
  const PendingChange told = change;
  targets_.Add(target, std::move(change));
  for (const TargetQueues::Held& held : targets_.HeldTargets()) {
    if (held.target == target) Tell(told, Outcome::kLater, held.reason);
  }
}

bool Distributor::DistributeTables(size_t* in_effect, const std::function<void()>& while_files) {
  EffectiveItems items;
  if (!ReadTable(kItemTables[0], &items)) {
    LOG_ERROR("Distribute global_config failed!");
    return false;
  }
  if (!ReadTable(kItemTables[1], &items)) {
    LOG_ERROR("Distribute custom_config failed!");
    return false;
  }
  std::vector<StoredItem>& all = items.items();
  if (in_effect != nullptr) *in_effect = all.size();
  for (size_t begin = 0; begin < all.size();) {
    // At least one item a part, however large.
    size_t end = begin + 1;
    int64_t bytes = all[begin].value_bytes;
    while (end < all.size() && bytes + all[end].value_bytes <= part_bytes_) {
      bytes += all[end++].value_bytes;
    }
    if (!ReadValues(all, begin, end)) {
      LOG_ERROR("Distribute {} failed!", all[begin].table);
      return false;
    }
    DistributePart(all, begin, end, while_files);
    begin = end;
  }
  WithdrawWhatWentAway(items);
  Pump();
  return true;
}

bool Distributor::ReadTable(const char* table, EffectiveItems* items) {
  LOG_DEBUG("ConfigDistribute table : {}", table);
  std::vector<StoredItem> rows;
  if (!store_.ReadItemKeys(table, &rows)) {
    return false;
  }
  for (StoredItem& row : rows) {
    const ConfigData& item = row.item;
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
    items->Add(std::move(row));
  }
  return true;
}

bool Distributor::ReadValues(std::vector<StoredItem>& items, size_t begin, size_t end) {
  for (const char* table : kItemTables) {
    std::vector<int64_t> ids;
    for (size_t i = begin; i < end; ++i) {
      if (std::string_view(items[i].table) == table) ids.push_back(items[i].id);
    }
    std::map<int64_t, std::string> values;
    if (!store_.ReadItemValues(table, ids, &values)) return false;
    for (size_t i = begin; i < end; ++i) {
      if (std::string_view(items[i].table) != table) continue;
      const auto value = values.find(items[i].id);
      if (value == values.end()) {
        // Withdrawn since its key was read: the change log brings what became of it, after
        // the position noted before the tables were read.
        items[i].value_bytes = -1;
        continue;
      }
      items[i].item.value = std::move(value->second);
    }
  }
  return true;
}

void Distributor::DistributePart(std::vector<StoredItem>& items, size_t begin, size_t end,
                                 const std::function<void()>& while_files) {
  // Parameters go to their queues, each once, with the value in effect, and out at once;
  // files go into effect together (one flush for all, and a file the disk already holds is
  // not written again), meanwhile. A target is one node or one file, never both, so the
  // order of each target's changes is what it was.
  std::vector<ConfigData> files;
  for (size_t i = begin; i < end; ++i) {
    if (items[i].value_bytes < 0) continue;  // gone meanwhile
    PendingChange change{ItemChange{0, std::move(items[i].item), false}};
    if (change.item.config_type == kParam) {
      Queue(std::move(change));
      continue;
    }
    std::string why;
    if (!files_.Accepts(change, &why)) {
      LOG_ERROR("{} can never be applied, so it is passed over: {}", Source(change), why);
      PassOver(Source(change) + ": " + why);
      Tell(change, Outcome::kNever, why);
      continue;
    }
    record_.AddFile(change.item.name);
    files.push_back(std::move(change.item));
  }
  Pump();  // saves the record first
  // A file that could not go in with the others is tried again on its own, through its
  // queue; its failure is logged already.
  std::vector<ConfigData> alone = ApplyFilesTogether(files, while_files);
  if (events_.outcome) {
    std::set<std::string> not_in;
    for (const ConfigData& item : alone) not_in.insert(item.name);
    for (const ConfigData& item : files) {
      if (not_in.count(item.name) == 0)
        Tell(PendingChange{ItemChange{0, item, false}}, Outcome::kDone, "");
    }
  }
  for (ConfigData& item : alone) {
    PendingChange change{ItemChange{0, std::move(item), false}};
    change.announced = true;
    Queue(std::move(change));
  }
}

std::vector<ConfigData> Distributor::ApplyFilesTogether(const std::vector<ConfigData>& files,
                                                        const std::function<void()>& while_files) {
  if (!while_files || files.empty()) return files_.ApplyTogether(files);
  // Until the thread is joined nothing else touches the file writer: Pump leaves file targets.
  std::vector<ConfigData> alone;
  files_busy_ = true;
  std::thread writer([&] {
    try {
      alone = files_.ApplyTogether(files);
    } catch (const std::exception& error) {
      LOG_ERROR("Writing the config files together failed ({}); each is tried alone", error.what());
      alone = files;
    }
  });
  while_files();
  writer.join();
  files_busy_ = false;
  return alone;
}

void Distributor::WithdrawWhatWentAway(const EffectiveItems& items) {
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
    if (files_busy_) {
      due.erase(std::remove_if(due.begin(), due.end(),
                               [](const Target& target) { return target.kind == kFile; }),
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
  // Only the first attempt of a change is logged; its retries are not. Copies: the queue may
  // move on before Apply returns.
  std::vector<PendingChange> started;
  for (PendingChange* leading :
       targets_.Leading(target, std::max<size_t>(applier.MostInOne(), 1))) {
    started.push_back(*leading);
    leading->announced = true;
  }
  targets_.Start(target, started.size());
  // An outcome told before Apply returns belongs to this pump; one told later comes from the
  // executor, and what it lets through is started from there.
  auto returned = std::make_shared<bool>(false);
  if (started.size() == 1) {
    applier.Apply(target, started.front(),
                  [this, target, returned](Outcome outcome, const std::string& reason) {
                    Finish(target, Applier::Outcomes{{outcome, reason}}, *returned);
                  });
  } else {
    applier.ApplyInOne(target, started,
                       [this, target, returned](const Applier::Outcomes& outcomes) {
                         Finish(target, outcomes, *returned);
                       });
  }
  *returned = true;
}

void Distributor::Finish(const Target& target, const Applier::Outcomes& outcomes,
                         bool outside_pump) {
  bool held_or_released = false;
  bool held = false;
  for (const auto& [outcome, reason] : outcomes) {
    PendingChange* change = targets_.Front(target);
    if (change == nullptr) break;
    Tell(*change, outcome, reason);
    const auto done = [&] {
      if (targets_.Done(target)) {
        LOG_DEBUG("Released {}: it takes its changes again", target.Text());
        held_or_released = true;
      }
    };
    switch (outcome) {
      case Outcome::kDone:
      case Outcome::kRefused:  // handled: the target's later changes follow
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
        // It and the changes after it wait, in their order.
        held = true;
        if (targets_.Hold(target, reason, TargetQueues::Clock::now())) {
          LOG_ERROR("Holding back {}: {}; its later changes wait, other targets go on",
                    target.Text(), reason);
          held_or_released = true;
          // The changes queued behind it wait too, for the same reason.
          const auto waiting = targets_.Leading(target, targets_.size());
          for (size_t i = 1; i < waiting.size(); ++i) Tell(*waiting[i], Outcome::kLater, reason);
        }
        break;
    }
    if (held) break;
  }
  // Changes of the attempt that got no outcome wait for the next one.
  if (!held) targets_.Stop(target);
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
  if (!store_.ReadTargetParams(node_name, &params)) {
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
