#ifndef CONFIG_CENTER_BENCH_STARTUP_SET_ASIDE_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_SET_ASIDE_HPP_

#include <string>

namespace config_center::bench {

// Files the benchmark clears away between runs are moved aside, into a tree of their own on
// the same filesystem, and deleted only when it ends. ext4 without a journal (the disk here)
// will not reuse an inode freed in the last seconds (minutes, while its inode table block is
// dirty), and every file created meanwhile searches past each one: with 2,000 files deleted
// just before, most of a run's time went to that search, in amounts that differed between the
// node, the floor and the peers. Moved aside, nothing the benchmark itself deleted is recent
// for anyone, so every run and the floor face the same directory state.
void SetAside(const std::string& path);
// Deletes what was set aside; only once nothing more is timed.
void RemoveSetAside();

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_SET_ASIDE_HPP_
