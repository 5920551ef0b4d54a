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
      distributor_(store_, record_, files_, params_,
                   DistributionEvents{
                       [this](const std::string& what) { status_.NotePassedOver(what); },
                       [this] { status_.NotifyChanged(); }, [this] { Reschedule(); },
                       [this](const PendingChange& change, Outcome outcome,
                              const std::string& reason) { OnOutcome(change, outcome, reason); }}),
      change_log_(db_, [this](ItemChange change) { distributor_.Submit(std::move(change)); }),
      managed_files_(options.configs_dir) {
  // Commits the feed saw and changes of the ROS graph wake the main executor through this.
  wake_ = std::make_shared<WakeSignal>([this](bool triggered) { OnWake(triggered); },
                                       [this] { return params_.GraphPending(); });
  node_->get_node_waitables_interface()->add_waitable(wake_, nullptr);

  // Drift: managed files through inotify (its thread wakes the executor), managed parameters
  // through /parameter_events; the node's own sets are told to the keeper as they go out.
  // With drift_policy ignore nothing is watched.
  const DriftKeeper::Policy policy = DeclareDriftPolicy();
  if (policy != DriftKeeper::Policy::kIgnore) {
    files_wake_ =
        std::make_shared<WakeSignal>([this](bool) { OnFilesTouched(); }, [] { return false; });
    node_->get_node_waitables_interface()->add_waitable(files_wake_, nullptr);
    file_watch_ =
        std::make_unique<FileWatch>(options.configs_dir, [this] { files_wake_->Trigger(); });
  }
  keeper_ = std::make_unique<DriftKeeper>(
      states_, file_watch_.get(), managed_files_,
      DriftKeeper::Hooks{[this](const ItemKey& key) { Restore(key); },
                         [](const std::string& line) { LOG_DEBUG("{}", line); }});
  keeper_->SetPolicy(policy);
  params_.SetSendListener(
      [this](const std::string& node_name, const rcl_interfaces::msg::Parameter& parameter) {
        keeper_->ParamSent(node_name, parameter.name, parameter.value);
      });
  if (policy != DriftKeeper::Policy::kIgnore) {
    param_events_ = std::make_unique<ParameterEventFollower>(
        *node_, [this](const std::string& node_name, const std::string& name,
                       const rcl_interfaces::msg::ParameterValue& value) {
          keeper_->ParamChanged(node_name, name, value);
          StatesChanged();
          distributor_.Pump();
          Reschedule();
        });
  }
}

bool ConfigCenter::Init() {
  const DbAccount& account = options_.account;
  if (HasPublicPassword(account)) {
    // Once, at start-up; /diagnostics says it for as long as it holds.
    LOG_ERROR(
        "The database account {} logs in with the password fixed in the program, which anyone "
        "who has the source knows; it may read ROBOT but not the binary log, so changes are "
        "polled. Give this robot an account of its own: deploy/setup_robot.sh",
        account.user);
  } else {
    LOG_DEBUG("Logging in to the database as {} (from {})", account.user, account.source);
  }
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
  if (file_watch_ && !file_watch_->error().empty()) {
    LOG_ERROR("Managed files cannot be watched for changes by others: {}", file_watch_->error());
  }
  // From here on every change of an item's state is published.
  state_publisher_ = std::make_unique<ItemStatePublisher>(*node_, states_);
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
  snapshot.account_user = options_.account.user;
  snapshot.account_source = options_.account.source;
  snapshot.password_public = HasPublicPassword(options_.account);
  snapshot.held = distributor_.targets().HeldTargets();
  snapshot.changes_queued = distributor_.targets().size();
  snapshot.item_states = states_.Summary();
  snapshot.drift = states_.drift();
  const LoggedErrors& errors = GetLoggedErrors();
  snapshot.errors_logged = errors.count;
  snapshot.last_error = errors.last;
  snapshot.last_error_at = errors.last_at;
  return snapshot;
}

void ConfigCenter::Stop() { change_log_.StopFeed(); }

}  // namespace config_center
