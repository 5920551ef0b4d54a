#ifndef CONFIG_CENTER_FILE_WRITER_HPP_
#define CONFIG_CENTER_FILE_WRITER_HPP_

#include <string>
#include <vector>

#include "disk/atomic_file.hpp"
#include "distribution/applier.hpp"
#include "store/records.hpp"

namespace config_center {

// The log text of a failed write of the file item `name`, in the words of the step that
// failed.
std::string WriteFailureText(WriteStep step, const std::string& name, const std::string& error);

// Puts file items into effect below one configs directory: each item's value, byte for byte,
// in the file its name names there, written durably in one step; a withdrawn item's file
// removed. Never follows a link, never removes a directory.
class FileWriter : public BatchApplier {
public:
  // `configs_dir` ends in '/'.
  explicit FileWriter(std::string configs_dir);

  // Removes what a write cut short left behind (hidden temporary files); says how many.
  size_t SweepTemporaries();

  // These log what they do; the quiet forms below are for retries. kLater and kNever say why
  // in `why`.
  Outcome FileConfigDistribute(const ConfigData& item, std::string* why = nullptr);
  // kNever only for a refused name. A file that is gone already counts as removed.
  Outcome DeleteFileConfig(const std::string& name, std::string* why = nullptr);
  Outcome WriteConfigItem(const ConfigData& item, std::string* why);
  Outcome RemoveConfigItem(const std::string& name, std::string* why);

  // Applier: a name is accepted when it names a file below the directory; a file target is
  // always reachable; Apply finishes before it returns.
  bool Accepts(const PendingChange& change, std::string* why) override;
  bool Reachable(const Target&) override { return true; }
  std::string UnreachableReason(const Target&) override { return ""; }
  void Apply(const Target& target, const PendingChange& change, Finish finish) override;
  // All together: one flush of the filesystem for all of them, and a file that already
  // holds its item's bytes is not written again.
  std::vector<ConfigData> ApplyTogether(const std::vector<ConfigData>& items) override;

  const std::string& configs_dir() const { return configs_dir_; }

private:
  std::string configs_dir_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_FILE_WRITER_HPP_
