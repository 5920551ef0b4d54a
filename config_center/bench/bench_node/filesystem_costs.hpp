#ifndef CONFIG_CENTER_BENCH_NODE_FILESYSTEM_COSTS_HPP_
#define CONFIG_CENTER_BENCH_NODE_FILESYSTEM_COSTS_HPP_

namespace config_center::bench {

// What a file change must cost at least: the node's atomic write syncs the file and its
// directory. Medians (p50), in ms.
struct FsyncCost {
  double both_ms = 0;  // file + directory
  double file_ms = 0;
  double dir_ms = 0;
};

// `samples` times: a 1 KiB file written, fsync'd, renamed, and its directory fsync'd, in the
// configs directory.
FsyncCost MeasureFsync(int samples);

// Creating, writing and removing `count` 1 KiB files in the configs filesystem, in seconds:
// what the filesystem alone charges for the files a first start-up must create. The isolated
// environment makes a fresh directory tree for every run, and on ext4 files created in a
// fresh tree can cost many times what they cost in a long-lived one, as a robot's is.
double MeasureCreates(int count);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_FILESYSTEM_COSTS_HPP_
