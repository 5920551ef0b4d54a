#ifndef CONFIG_CENTER_CONFIG_FILE_HPP_
#define CONFIG_CENTER_CONFIG_FILE_HPP_

#include <string>

namespace config_center {

// Where file items live. An item's name is a path below it.
inline constexpr char kConfigsDir[] = "/opt/velgar/configs/";

// Builds the path of a file item inside `configs_dir` (which ends in '/'). A name that
// would leave the directory or can never name a file of its own is refused (empty,
// absolute, a NUL byte, a "." or ".." component, an empty component as in "a//b" or "sub/",
// a component longer than a file name may be): returns false with the reason in `why`.
bool ConfigFilePath(const std::string& configs_dir, const std::string& name, std::string* path,
                    std::string* why);

// Makes the directories that the file item `name` needs below `configs_dir` where they are
// missing, never following a symbolic link. New ones get mode 0750 (less what the umask
// takes), so the nodes' user can still reach the files. kBlocked: something in the way that
// an operator can mend (a link or a file where a directory belongs, no permission, a full
// disk); `error` says what.
enum class DirectoriesMade { kReady, kBlocked };
DirectoriesMade MakeConfigDirectories(const std::string& configs_dir, const std::string& name,
                                      std::string* error);

// Removes the hidden temporary files that a write cut short (a killed node) left in
// `configs_dir` and below it, without following links; returns how many.
size_t SweepTemporaries(const std::string& configs_dir);

// Replaces `path` with exactly `contents`, durably and in one step: a hidden temporary file
// in the same directory is written, flushed and fsync'd, renamed over the target, and the
// directory is fsync'd. The result has mode 0600. On failure the temporary file is removed,
// the target is left as it was, and `error` says which step failed and why.
enum class WriteStep { kNone, kCreateTemp, kWriteTemp, kReplaceTarget, kSyncDirectory };
WriteStep WriteFileAtomically(const std::string& path, const std::string& contents,
                              std::string* error);

// The steps of that, for writing many files together (see ConfigFileBatch).
// Writes `contents` into a new hidden temporary file (mode 0600) beside `path`, fsync'd when
// `sync` is set; its path goes to `temp_path`. On failure nothing is left behind.
WriteStep WriteTemporary(const std::string& path, const std::string& contents, bool sync,
                         std::string* temp_path, std::string* error);
// The directory part of `path`, with its trailing '/'.
std::string DirectoryOf(const std::string& path);
bool SyncDirectory(const std::string& dir);
// Whether `path` is a directory (not following a link at its end).
bool IsDirectory(const std::string& path);
// `what`, a colon and the text of errno.
std::string ErrnoText(const char* what);

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_FILE_HPP_
