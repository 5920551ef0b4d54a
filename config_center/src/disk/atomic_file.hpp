#ifndef CONFIG_CENTER_ATOMIC_FILE_HPP_
#define CONFIG_CENTER_ATOMIC_FILE_HPP_

#include <string>

namespace config_center {

// Replaces `path` with exactly `contents`, durably and in one step: a hidden temporary file
// in the same directory is written, flushed and fsync'd, renamed over the target, and the
// directory is fsync'd. The result has mode 0600. On failure the temporary file is removed,
// the target is left as it was, and `error` says which step failed and why.
enum class WriteStep { kNone, kCreateTemp, kWriteTemp, kReplaceTarget, kSyncDirectory };
WriteStep WriteFileAtomically(const std::string& path, const std::string& contents,
                              std::string* error);

// The steps of that, for writing many files together (see files/config_file_batch.hpp).
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
// Whether `name` (a directory entry) is one of the temporary files WriteTemporary makes.
bool IsTemporaryName(const std::string& name);

}  // namespace config_center

#endif  // CONFIG_CENTER_ATOMIC_FILE_HPP_
