#include "node/config_center.hpp"

#include <utility>
#include <vector>

#include "logging/logging.hpp"

namespace config_center {

namespace {

// The names of the parameters the record holds for `node_name`: every parameter the node
// put into effect there, or is about to.
std::vector<std::string> RecordedParams(const DistributionRecord& record,
                                        const std::string& node_name) {
  std::vector<std::string> names;
  const auto& params = record.params();
  for (auto at = params.lower_bound({node_name, ""}); at != params.end() && at->first == node_name;
       ++at) {
    names.push_back(at->second);
  }
  return names;
}

}  // namespace

ConfigCenter::ConfigCenter(std::shared_ptr<rclcpp::Node> node, const Options& options)
    : node_(std::move(node)),
      options_(options),
      db_(options.account),
      store_(db_),
      record_(options.record_dir),
      files_(options.configs_dir),
      params_(node_->get_node_base_interface(), node_->get_node_graph_interface(),
              node_->get_node_services_interface(),
              [this](const std::string& node_name) { return RecordedParams(record_, node_name); }),
      distributor_(
          store_, record_, files_, params_,
          DistributionEvents{[this](const std::string& what) { status_.NotePassedOver(what); },
                             [this] { status_.NotifyChanged(); }, [this] { Reschedule(); }}),
      change_log_(db_, [this](const ItemChange& change) { distributor_.Submit(change); }) {
  // Commits the feed saw and changes of the ROS graph wake the main executor through this.
  wake_ = std::make_shared<WakeSignal>([this](bool triggered) { OnWake(triggered); },
                                       [this] { return params_.GraphPending(); });
  node_->get_node_waitables_interface()->add_waitable(wake_, nullptr);
}

bool ConfigCenter::Init() {
  if (!db_.Connect()) {
    LOG_ERROR("Connect sql failed");
    return false;
  }
  if (const size_t swept = files_.SweepTemporaries(); swept > 0) {
    LOG_DEBUG("Removed {} temporary files that an interrupted write left behind", swept);
  }
  std::string why;
  if (!record_.Load(&why)) {
    // Without it nothing the node wrote earlier can be withdrawn; it is written anew.
    LOG_ERROR("Cannot read the record of what was distributed ({}); starting from an empty one",
              why);
  }
  // The feed follows the binary log from now on; until it is up the log is polled. The
  // position is noted before the tables are read: a change committed while they are being
  // distributed is then applied once passes start (perhaps once more than needed).
  ChangeFeed::Options feed;
  feed.account = options_.account;
  change_log_.StartFeed([this] { wake_->Trigger(); }, feed);
  InitConfigChangeMaxID();
  if (!FullConfigDistribute()) {
    LOG_ERROR("Full config distribute failed!");
    return false;
  }
  StartPasses();
  LOG_DEBUG("Config center ready, following the change log after id {}", change_log_.position());
  return true;
}

bool ConfigCenter::FullConfigDistribute() {
  LOG_DEBUG("FullConfigDistribute");
  distributor_.BeginStartup();
  const bool read = distributor_.DistributeTables();
  if (read) params_.WaitForCalls([this] { distributor_.Pump(); });
  distributor_.EndStartup();
  return read;
}

void ConfigCenter::InitConfigChangeMaxID() {
  if (!change_log_.Start()) {
    LOG_ERROR("Get increment next id failed");
  }
}

void ConfigCenter::PeriodCheckConfig() {
  last_pass_ = ChangeLog::Clock::now();
  std::string failure;
  poll_failures_.Run([this, &failure] { return failure = CheckChangeLog(); });
  // The failing statement was the pass's last one.
  status_.NotePass(failure, failure.empty() ? 0 : db_.LastQueryErrno());
  Housekeeping(params_.GraphChanged());
}

std::string ConfigCenter::CheckChangeLog() {
  if (resync_due_) return Resynchronise();
  std::string failure;
  switch (change_log_.Follow(&failure)) {
    case ChangeLog::Pass::kRead:
    case ChangeLog::Pass::kFailed:
      return failure;
    case ChangeLog::Pass::kWentBack:
      break;
  }
  resync_due_ = true;
  return Resynchronise();
}

std::string ConfigCenter::Resynchronise() {
  // As at start-up: the position first, then the tables, so a change made meanwhile is
  // applied once more rather than missed.
  if (!change_log_.Start()) {
    return "reading the change-log maximum to resynchronise";
  }
  size_t in_effect = 0;
  if (!distributor_.DistributeTables(&in_effect)) {
    return "reading the item tables to resynchronise";
  }
  resync_due_ = false;
  LOG_DEBUG("Resynchronised: {} items in effect, following the change log after id {}", in_effect,
            change_log_.position());
  return "";
}

StatusSnapshot ConfigCenter::Snapshot() const {
  StatusSnapshot snapshot;
  status_.Fill(&snapshot);
  snapshot.position = change_log_.position();
  snapshot.newest_read = change_log_.newest_read();
  snapshot.learns_of_changes = change_log_.SourceText();
  snapshot.late_ids_waited = change_log_.missing();
  snapshot.ids_given_up = change_log_.ids_given_up();
  snapshot.held = distributor_.targets().HeldTargets();
  snapshot.changes_queued = distributor_.targets().size();
  const LoggedErrors& errors = GetLoggedErrors();
  snapshot.errors_logged = errors.count;
  snapshot.last_error = errors.last;
  snapshot.last_error_at = errors.last_at;
  return snapshot;
}

void ConfigCenter::Stop() { change_log_.StopFeed(); }

}  // namespace config_center
