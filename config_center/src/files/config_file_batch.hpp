#ifndef CONFIG_CENTER_CONFIG_FILE_BATCH_HPP_
#define CONFIG_CENTER_CONFIG_FILE_BATCH_HPP_

#include <sys/types.h>

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "files/config_paths.hpp"

namespace config_center {

// Many file items put into effect together, as durably as one at a time but with one flush
// of the filesystem instead of two fsyncs per file. Stage writes each new content into a
// hidden temporary file beside its target; Commit makes all of them durable at once
// (syncfs), renames each over its target in staging order, then syncs each directory
// once. A crash at any moment leaves every target with its old or its new content; one
// target that cannot be replaced keeps none of the others from theirs.
class ConfigFileBatch {
public:
  ConfigFileBatch() = default;
  ~ConfigFileBatch();  // removes temporary files that were never committed
  ConfigFileBatch(const ConfigFileBatch&) = delete;
  ConfigFileBatch& operator=(const ConfigFileBatch&) = delete;

  // Stages `contents` for `path` (a file item named `name`). A target that already holds
  // exactly these bytes with mode 0600 is left alone. A later stage of the same path
  // replaces an earlier one. On failure nothing is staged for the path and `error` says why.
  WriteStep Stage(const std::string& name, const std::string& path, const std::string& contents,
                  std::string* error);

  // A file that could not be put into effect.
  struct Failure {
    std::string name;
    WriteStep step;
    std::string error;
  };
  // Puts every staged file into effect: Flush, then Replace. A file that cannot replace its
  // target is left out (its target stays as it was) and reported; the others go on.
  std::vector<Failure> Commit();
  // Makes every staged file's content durable: one syncfs for each filesystem they are on
  // that is not in `flushed` yet (it gets them: batches staged side by side flush each
  // filesystem once). When a flush fails every staged file is reported and none stays.
  std::vector<Failure> Flush(std::set<dev_t>* flushed);
  // Renames each flushed file over its target in staging order, then syncs each directory
  // once. Only after Flush.
  std::vector<Failure> Replace();

  size_t staged() const { return staged_.size(); }
  size_t unchanged() const { return unchanged_; }
  size_t committed() const { return committed_; }

private:
  struct Staged {
    std::string name;
    std::string path;
    std::string temp_path;
  };
  void Drop(const std::string& path);
  void RemoveTemporaries();

  std::vector<Staged> staged_;
  std::unordered_set<std::string> paths_;  // of staged_
  size_t unchanged_ = 0;
  size_t committed_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_FILE_BATCH_HPP_
