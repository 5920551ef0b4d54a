#ifndef CONFIG_CENTER_DISTRIBUTION_RECORD_HPP_
#define CONFIG_CENTER_DISTRIBUTION_RECORD_HPP_

#include <set>
#include <string>
#include <utility>

namespace config_center {

// What the node has put into effect, kept on disk so that after a restart it can withdraw
// what the tables no longer hold, and never touch what it did not write: the names of the
// file items it wrote and the node and name of each parameter it set. Values are not kept
// (the tables have them). An entry is added before its item goes out and removed once the
// item is withdrawn, so the record never misses anything the node put into effect.
//
// On disk: one entry per line, "file NAME" or "param NODE NAME", each field escaped (a
// backslash, a blank, a line end or any byte outside printable ASCII as \xHH), written
// atomically (a temporary file, fsync, rename, directory fsync).
class DistributionRecord {
public:
  // The record in `directory`: the environment's STATE_DIRECTORY (systemd's StateDirectory=;
  // the first of several) or else /var/lib/config_center.
  static std::string DefaultDirectory();
  static constexpr char kFileName[] = "distributed";

  explicit DistributionRecord(std::string directory = DefaultDirectory());

  // Reads the record; a missing file is an empty record. False, with the reason, when it
  // cannot be read or a line does not parse (the record is then empty).
  bool Load(std::string* why);
  // Writes the record if it changed since the last load or save; makes the directory (0700)
  // where it is missing. False, with the reason, when it cannot be written; it stays changed,
  // so the next Save tries again.
  bool Save(std::string* why);

  void AddFile(const std::string& name);
  void RemoveFile(const std::string& name);
  void AddParam(const std::string& node_name, const std::string& name);
  void RemoveParam(const std::string& node_name, const std::string& name);

  const std::set<std::string>& files() const { return files_; }
  const std::set<std::pair<std::string, std::string>>& params() const { return params_; }
  bool changed() const { return changed_; }
  const std::string& path() const { return path_; }

  // The escaping used on disk, for the tests.
  static std::string Escape(const std::string& field);
  static bool Unescape(const std::string& field, std::string* out);

private:
  std::string directory_;
  std::string path_;
  std::set<std::string> files_;
  std::set<std::pair<std::string, std::string>> params_;  // (node, name)
  bool changed_ = false;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DISTRIBUTION_RECORD_HPP_
