#include "files/batch_writers.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "files/config_file_batch.hpp"
#include "files/file_writer.hpp"
#include "logging/logging.hpp"

namespace config_center {

namespace {

constexpr size_t kMostWriters = 4;
// Below this many files a second thread costs more than it saves.
constexpr size_t kFilesPerWriter = 512;

// Runs `work(g)` for every group, the first on this thread and each other on one of its own,
// and returns once all have ended.
void ForEachGroup(size_t groups, const std::function<void(size_t)>& work) {
  std::vector<std::thread> threads;
  std::vector<size_t> here{0};  // the groups this thread runs
  for (size_t g = 1; g < groups; ++g) {
    try {
      threads.emplace_back(work, g);
    } catch (const std::system_error&) {
      here.push_back(g);  // no thread to be had: done here, one after another
    }
  }
  for (const size_t g : here) work(g);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

size_t WritersFor(size_t files, size_t directories) {
  const size_t cores = std::max<size_t>(std::thread::hardware_concurrency(), 1);
  const size_t by_files = 1 + files / kFilesPerWriter;
  return std::max<size_t>(1, std::min({kMostWriters, cores, directories, by_files}));
}

BatchWriters::BatchWriters(std::vector<File> files, size_t writers) : files_(std::move(files)) {
  // Directories by how many files they hold, the fullest first, each to the group with the
  // fewest files so far; within a group the files keep the batch's order.
  std::unordered_map<std::string, size_t> counts;
  for (const File& file : files_) ++counts[file.directory];
  std::vector<std::pair<size_t, std::string>> by_size;
  for (const auto& [dir, count] : counts) by_size.emplace_back(count, dir);
  std::sort(by_size.begin(), by_size.end(), std::greater<>());
  const size_t count = std::max<size_t>(1, std::min(writers, by_size.size()));
  std::vector<size_t> sizes(count, 0);
  std::unordered_map<std::string, size_t> group_of;
  for (const auto& [files_in, dir] : by_size) {
    const size_t g =
        static_cast<size_t>(std::min_element(sizes.begin(), sizes.end()) - sizes.begin());
    group_of[dir] = g;
    sizes[g] += files_in;
  }
  groups_.resize(count);
  for (const File& file : files_) groups_[group_of[file.directory]].push_back(&file);
}

std::vector<ConfigData> BatchWriters::Run() {
  struct GroupWork {
    ConfigFileBatch batch;
    std::vector<const File*> staged;
    std::vector<const ConfigData*> alone;  // could not go in with the others
    std::vector<std::string> errors;       // logged once every thread has ended
    bool failed = false;                   // the thread's work broke off: all of it alone
  };
  std::vector<std::unique_ptr<GroupWork>> outcomes;
  for (size_t g = 0; g < groups_.size(); ++g) outcomes.push_back(std::make_unique<GroupWork>());
  // The threads log nothing themselves (what a log line goes to, such as a capture that
  // folds repeats, belongs to the calling thread): their failures are logged by it after.
  const auto guarded = [&](size_t g, const std::function<void(GroupWork&)>& step) {
    GroupWork& o = *outcomes[g];
    if (o.failed) return;
    try {
      step(o);
    } catch (const std::exception& error) {
      o.errors.push_back("Writing " + std::to_string(groups_[g].size()) +
                         " config files together failed (" + error.what() +
                         "); each is tried alone");
      o.failed = true;
    }
  };
  ForEachGroup(groups_.size(), [&](size_t g) {
    guarded(g, [&](GroupWork& o) {
      for (const File* file : groups_[g]) {
        std::string error;
        const WriteStep failed =
            o.batch.Stage(file->item->name, file->path, file->item->value, &error);
        if (failed != WriteStep::kNone) {
          o.errors.push_back(WriteFailureText(failed, file->item->name, error));
          o.alone.push_back(file->item);
          continue;
        }
        o.staged.push_back(file);
      }
    });
  });
  // Every file of every group is staged: one flush of each filesystem covers them all.
  std::set<dev_t> flushed;
  std::vector<std::vector<ConfigFileBatch::Failure>> failures(groups_.size());
  for (size_t g = 0; g < groups_.size(); ++g) {
    guarded(g, [&](GroupWork& o) { failures[g] = o.batch.Flush(&flushed); });
  }
  ForEachGroup(groups_.size(), [&](size_t g) {
    guarded(g, [&](GroupWork& o) {
      if (!failures[g].empty()) return;  // nothing stays staged after a failed flush
      failures[g] = o.batch.Replace();
    });
  });
  std::vector<ConfigData> alone;
  for (size_t g = 0; g < groups_.size(); ++g) {
    GroupWork& o = *outcomes[g];
    for (const std::string& error : o.errors) LOG_ERROR("{}", error);
    if (o.failed) {
      // Renamed or not, each is written again on its own: the same bytes, durably.
      for (const File* file : groups_[g]) alone.push_back(*file->item);
      continue;
    }
    for (const ConfigData* item : o.alone) alone.push_back(*item);
    // A failed flush fails every file: one pass over them, not one per failure.
    std::unordered_set<std::string> failed;
    for (const ConfigFileBatch::Failure& failure : failures[g]) {
      LOG_ERROR("{}", WriteFailureText(failure.step, failure.name, failure.error));
      failed.insert(failure.name);
    }
    if (!failed.empty()) {
      for (const File* file : o.staged) {
        if (failed.count(file->item->name) != 0) alone.push_back(*file->item);
      }
    }
    committed_ += o.batch.committed();
    unchanged_ += o.batch.unchanged();
  }
  return alone;
}

}  // namespace config_center
