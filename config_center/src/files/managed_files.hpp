#ifndef CONFIG_CENTER_MANAGED_FILES_HPP_
#define CONFIG_CENTER_MANAGED_FILES_HPP_

#include <sys/types.h>

#include <ctime>
#include <map>
#include <string>

namespace config_center {

// What the node last put into effect for each file item, to tell whether the file on disk
// is still that (the node's own writes never count as drift). The first look after a write
// reads the file and compares its SHA-256 and mode with what was written; once found intact,
// the same inode, size, mode, owner and modification time need no reading again. Keeps
// digests, not contents.
class ManagedFiles {
public:
  explicit ManagedFiles(std::string configs_dir) : configs_dir_(std::move(configs_dir)) {}

  // The node has just written the file item `name` (or found it holding its bytes), whose
  // content has the SHA-256 `sha256` (lower-case hex).
  void Wrote(const std::string& name, const std::string& sha256);
  // The item is withdrawn: the file is no one's to keep.
  void Forget(const std::string& name);
  bool Manages(const std::string& name) const { return files_.count(name) != 0; }

  // Whether the file still is what was written; false with what differs in `how` ("its
  // content was changed", "it was removed", "its mode is 0644, not 0600", ...).
  bool Intact(const std::string& name, std::string* how);

private:
  struct Signature {
    ino_t inode = 0;
    off_t size = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    timespec modified{};
    bool operator==(const Signature& other) const;
  };
  struct Written {
    std::string sha256;
    Signature signature;
    bool signed_ = false;  // the signature was taken (the file could be read after the write)
  };
  bool Read(const std::string& path, Signature* signature, std::string* sha256,
            std::string* how) const;

  const std::string configs_dir_;
  std::map<std::string, Written> files_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_MANAGED_FILES_HPP_
