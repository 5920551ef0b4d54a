#ifndef CONFIG_CENTER_BATCH_WRITERS_HPP_
#define CONFIG_CENTER_BATCH_WRITERS_HPP_

#include <cstddef>
#include <string>
#include <vector>

#include "store/records.hpp"

namespace config_center {

// How many threads write a batch of `files` spread over `directories`: one for a small
// batch, otherwise up to one a core (at most 4), never more than there are directories.
size_t WritersFor(size_t files, size_t directories);

// The files of one batch put into effect by a few threads at once, each taking whole
// directories. The kernel serialises the changes to one directory, not those to different
// ones, and a large start-up spends most of its time in those calls (creating each hidden
// temporary file and renaming it over its target). Every file of a directory, and so every
// stage of one target, stays with one thread, in the batch's order. All of them are staged
// before the one flush, and the renames start after it, as in one ConfigFileBatch.
class BatchWriters {
public:
  struct File {
    const ConfigData* item;  // outlives the run
    std::string path;        // where it goes, below the configs directory
    std::string directory;   // of `path`, made already
  };

  BatchWriters(std::vector<File> files, size_t writers);

  // Puts the files into effect; returns the items that could not go in with the others
  // (each failure logged), to be tried alone.
  std::vector<ConfigData> Run();

  size_t committed() const { return committed_; }
  size_t unchanged() const { return unchanged_; }
  size_t writers() const { return groups_.size(); }

private:
  std::vector<std::vector<const File*>> groups_;
  std::vector<File> files_;
  size_t committed_ = 0;
  size_t unchanged_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_BATCH_WRITERS_HPP_
