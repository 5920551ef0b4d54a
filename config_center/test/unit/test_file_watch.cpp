// Managed files touched by someone else, seen through inotify on real files in a directory
// of the test's own: written in place, replaced by a rename, given another mode, removed,
// their directory removed; the node's own writes seen but found intact; foreign files beside
// them never reported and costing no wake-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "disk/atomic_file.hpp"
#include "disk/value_digest.hpp"
#include "files/config_paths.hpp"
#include "files/file_watch.hpp"
#include "files/managed_files.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;

class FileWatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    char dir_template[] = "/tmp/test_file_watch_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    dir_ = std::string(dir_template) + "/";
    watch_ = std::make_unique<FileWatch>(dir_, [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      ++wakes_;
      cv_.notify_all();
    });
    ASSERT_EQ(watch_->error(), "");
    files_ = std::make_unique<ManagedFiles>(dir_);
  }
  void TearDown() override {
    watch_.reset();
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // The node's own write: atomically, then noted and watched.
  void Write(const std::string& name, const std::string& contents) {
    std::string error;
    ASSERT_EQ(MakeConfigDirectories(dir_, name, &error), DirectoriesMade::kReady) << error;
    ASSERT_EQ(WriteFileAtomically(dir_ + name, contents, &error), WriteStep::kNone) << error;
    files_->Wrote(name, Sha256Hex(contents));
    std::string why;
    ASSERT_TRUE(watch_->Manage(name, &why)) << why;
  }

  // The names touched once at least one wake came (or 2 s passed), gathered for 50 ms more.
  std::vector<std::string> Touched() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, 2s, [this] { return wakes_ > seen_wakes_; });
      seen_wakes_ = wakes_;
    }
    std::this_thread::sleep_for(50ms);
    return watch_->TakeTouched();
  }
  int Wakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
  }
  bool Intact(const std::string& name, std::string* how) { return files_->Intact(name, how); }

  std::string dir_;
  std::unique_ptr<FileWatch> watch_;
  std::unique_ptr<ManagedFiles> files_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int wakes_ = 0;
  int seen_wakes_ = 0;
};

TEST_F(FileWatchTest, EveryKindOfForeignChangeIsSeenAndTold) {
  Write("a.yaml", "speed: 1\n");
  std::string how;
  EXPECT_TRUE(Intact("a.yaml", &how)) << how;

  // Written in place.
  { std::ofstream(dir_ + "a.yaml", std::ios::app) << "extra: 2\n"; }
  EXPECT_EQ(Touched(), std::vector<std::string>{"a.yaml"});
  EXPECT_FALSE(Intact("a.yaml", &how));
  EXPECT_EQ(how, "its content was changed");

  // The node writes it again: seen, and intact without a read.
  Write("a.yaml", "speed: 1\n");
  EXPECT_EQ(Touched(), std::vector<std::string>{"a.yaml"});
  EXPECT_TRUE(Intact("a.yaml", &how)) << how;

  // Replaced by a rename from beside it (as editors save).
  { std::ofstream(dir_ + "a.yaml.swp") << "speed: 9\n"; }
  ASSERT_EQ(::chmod((dir_ + "a.yaml.swp").c_str(), 0600), 0);
  ASSERT_EQ(::rename((dir_ + "a.yaml.swp").c_str(), (dir_ + "a.yaml").c_str()), 0);
  EXPECT_EQ(Touched(), std::vector<std::string>{"a.yaml"});
  EXPECT_FALSE(Intact("a.yaml", &how));
  EXPECT_EQ(how, "its content was changed");

  // Another mode.
  Write("a.yaml", "speed: 1\n");
  Touched();
  ASSERT_EQ(::chmod((dir_ + "a.yaml").c_str(), 0644), 0);
  EXPECT_EQ(Touched(), std::vector<std::string>{"a.yaml"});
  EXPECT_FALSE(Intact("a.yaml", &how));
  EXPECT_EQ(how, "its mode is 0644, not 0600");

  // Touched only (the same bytes, the same mode): intact.
  Write("a.yaml", "speed: 1\n");
  Touched();
  { std::ofstream(dir_ + "a.yaml", std::ios::app) << ""; }
  Touched();
  EXPECT_TRUE(Intact("a.yaml", &how)) << how;

  // Removed.
  ASSERT_EQ(::unlink((dir_ + "a.yaml").c_str()), 0);
  EXPECT_EQ(Touched(), std::vector<std::string>{"a.yaml"});
  EXPECT_FALSE(Intact("a.yaml", &how));
  EXPECT_EQ(how, "it was removed");
}

TEST_F(FileWatchTest, ASubdirectoryRemovedOrMovedAwayIsToldAndWatchedAgainAfterTheRewrite) {
  Write("maps/site.yaml", "a");
  Write("maps/floor.yaml", "b");
  ASSERT_EQ(std::system(("rm -rf '" + dir_ + "maps'").c_str()), 0);
  EXPECT_EQ(Touched(), (std::vector<std::string>{"maps/floor.yaml", "maps/site.yaml"}));
  std::string how;
  EXPECT_FALSE(Intact("maps/site.yaml", &how));
  // Written again: the new directory is watched.
  Write("maps/site.yaml", "a");
  Write("maps/floor.yaml", "b");
  Touched();
  { std::ofstream(dir_ + "maps/site.yaml", std::ios::app) << "x"; }
  EXPECT_EQ(Touched(), std::vector<std::string>{"maps/site.yaml"});
  // Moved away as a whole.
  ASSERT_EQ(::rename((dir_ + "maps").c_str(), (dir_ + "old-maps").c_str()), 0);
  EXPECT_EQ(Touched(), (std::vector<std::string>{"maps/floor.yaml", "maps/site.yaml"}));
  Write("maps/site.yaml", "a");
  Touched();
  // What happens in the moved directory is none of ours.
  { std::ofstream(dir_ + "old-maps/site.yaml", std::ios::app) << "x"; }
  { std::ofstream(dir_ + "maps/site.yaml", std::ios::app) << "y"; }
  EXPECT_EQ(Touched(), std::vector<std::string>{"maps/site.yaml"});
}

TEST_F(FileWatchTest, ForeignFilesAreNeverToldAndForgottenFilesNoLonger) {
  Write("a.yaml", "1");
  Write("b.yaml", "2");
  Touched();
  const int before = Wakes();
  // Thousands of foreign files made, written, chmod'ed and removed beside the managed ones.
  for (int i = 0; i < 2000; ++i) {
    const std::string path = dir_ + "foreign_" + std::to_string(i);
    { std::ofstream(path) << i; }
    ::chmod(path.c_str(), 0644);
  }
  for (int i = 0; i < 2000; ++i) ::unlink((dir_ + "foreign_" + std::to_string(i)).c_str());
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(watch_->TakeTouched().empty());
  EXPECT_EQ(Wakes(), before) << "foreign files woke the node";
  // A forgotten file is foreign too; the directory stays watched for the other.
  watch_->Forget("a.yaml");
  { std::ofstream(dir_ + "a.yaml", std::ios::app) << "x"; }
  { std::ofstream(dir_ + "b.yaml", std::ios::app) << "x"; }
  EXPECT_EQ(Touched(), std::vector<std::string>{"b.yaml"});
  EXPECT_EQ(watch_->watched_directories(), 1u);
  watch_->Forget("b.yaml");
  EXPECT_EQ(watch_->watched_directories(), 0u);
  std::string why;
  EXPECT_FALSE(watch_->Manage("../escape", &why));
}

}  // namespace
}  // namespace config_center
