#ifndef CONFIG_CENTER_CONFIG_PATHS_HPP_
#define CONFIG_CENTER_CONFIG_PATHS_HPP_

#include <string>

#include "disk/atomic_file.hpp"

namespace config_center {

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

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_PATHS_HPP_
