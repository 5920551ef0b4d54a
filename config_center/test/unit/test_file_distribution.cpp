// File items written by the file writer into a configs directory of the test's own (a
// temporary directory: no root, nothing of the isolated environment).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/batch_writers.hpp"
#include "files/config_file_batch.hpp"
#include "files/config_paths.hpp"
#include "files/file_writer.hpp"
#include "logging/logging.hpp"
#include "support/config_files.hpp"

namespace config_center::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> logged;

void Collect(const spdlog::source_loc&, spdlog::level::level_enum level, std::string_view text) {
  logged.push_back(std::string(spdlog::level::to_string_view(level).data()) + ": " +
                   std::string(text));
}

// A directory of the test's own, with the configs directory inside it (so that "outside"
// has a place too).
std::string MakeRoot() {
  std::string pattern = (fs::temp_directory_path() / "config_center_files.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  fs::create_directory(pattern + "/configs");
  return pattern;
}

class FileDistribution : public ::testing::Test {
protected:
  void SetUp() override {
    logged.clear();
    SetLogDivert(&Collect);
  }
  void TearDown() override {
    SetLogDivert(nullptr);
    ::chmod((kConfigs + "closed").c_str(), 0700);
    fs::remove_all(root_);
  }

  std::vector<std::string> TempLeftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(kConfigs)) {
      if (entry.path().filename().string().rfind(".tmp_config_", 0) == 0) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  static mode_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
  }

  const std::string root_ = MakeRoot();
  // The configs directory, ending in '/'.
  const std::string kConfigs = root_ + "/configs/";
  FileWriter writer_{kConfigs};
};

TEST(ConfigFilePath, RefusesNamesThatLeaveTheDirectoryOrCanNeverBeAFile) {
  const std::string kConfigs = "/srv/configs/";
  std::string path;
  std::string why;
  for (const std::string& name :
       {std::string(""), std::string("/etc/passwd"), std::string(".."), std::string("../x"),
        std::string("a/../../x"), std::string("a/.."), std::string("a\0b", 3), std::string("."),
        std::string("./a"), std::string("a/./b"), std::string("sub/"), std::string("a//b"),
        std::string(256, 'n'), "sub/" + std::string(256, 'n') + "/x"}) {
    EXPECT_FALSE(ConfigFilePath(kConfigs, name, &path, &why)) << name;
    EXPECT_FALSE(why.empty());
  }
  for (const std::string& name :
       {std::string("a.yaml"), std::string("..a"), std::string("a.."), std::string("sub/a.yaml"),
        std::string("a/..b"), std::string(".hidden"), std::string(255, 'n')}) {
    ASSERT_TRUE(ConfigFilePath(kConfigs, name, &path, &why)) << name << ": " << why;
    EXPECT_EQ(path, kConfigs + name);
  }
}

TEST_F(FileDistribution, WritesTheExactBytesAndReplacesWhole) {
  const std::string target = kConfigs + "exact.bin";
  {  // An older, longer file with other permissions is replaced, not overwritten in place.
    std::ofstream old(target);
    old << std::string(10000, 'o');
  }
  ::chmod(target.c_str(), 0644);
  const std::string value("line 1\nline\0 2\r\n\xff no newline at the end", 37);
  ASSERT_EQ(writer_.FileConfigDistribute(ConfigData{"exact.bin", value, "", kFile}),
            Outcome::kDone);
  std::string contents;
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents, value);
  EXPECT_EQ(Mode(target), 0600u);
  EXPECT_EQ(logged, std::vector<std::string>{"debug: FileConfigDistribute: exact.bin"});

  ASSERT_EQ(writer_.FileConfigDistribute(ConfigData{"exact.bin", "", "", kFile}), Outcome::kDone);
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents, "");

  const std::string large(5 * 1024 * 1024 + 3, 'L');
  ASSERT_EQ(writer_.FileConfigDistribute(ConfigData{"exact.bin", large, "", kFile}),
            Outcome::kDone);
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents.size(), large.size());
  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, MissingDirectoriesAreMadeWithoutFollowingLinks) {
  const std::string deep = kConfigs + "maps/site/a.yaml";
  ASSERT_EQ(writer_.FileConfigDistribute(ConfigData{"maps/site/a.yaml", "m", "", kFile}),
            Outcome::kDone);
  std::string contents;
  ASSERT_TRUE(ReadFile(deep, &contents));
  EXPECT_EQ(contents, "m");
  // Reachable for the nodes' user, closed to others (as the umask allows).
  EXPECT_EQ(Mode(kConfigs + "maps") & 0700, 0700u);
  EXPECT_EQ(Mode(kConfigs + "maps") & 0007, 0u);

  // A link where a directory belongs is not followed, even to a directory inside: the item
  // waits until an operator mends it.
  const std::string elsewhere = kConfigs + "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, kConfigs + "linked");
  logged.clear();
  EXPECT_EQ(writer_.FileConfigDistribute(ConfigData{"linked/a.yaml", "x", "", kFile}),
            Outcome::kLater);
  EXPECT_FALSE(fs::exists(elsewhere + "/a.yaml"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_NE(logged[1].find("linked/ is a symbolic link"), std::string::npos) << logged[1];

  // A file where a directory belongs: the same, and the file stays.
  std::ofstream(kConfigs + "plain") << "file";
  EXPECT_EQ(writer_.FileConfigDistribute(ConfigData{"plain/a.yaml", "x", "", kFile}),
            Outcome::kLater);
  ASSERT_TRUE(ReadFile(kConfigs + "plain", &contents));
  EXPECT_EQ(contents, "file");
  // Once mended, the item goes in.
  fs::remove(kConfigs + "plain");
  EXPECT_EQ(writer_.FileConfigDistribute(ConfigData{"plain/a.yaml", "x", "", kFile}),
            Outcome::kDone);
  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, FailuresLeaveTheTargetAndNoTemporaryFile) {
  // A directory in the target's place: the name can only ever be a directory's.
  const std::string dir_target = kConfigs + "taken";
  fs::create_directory(dir_target);
  fs::create_directory(dir_target + "/inner");
  EXPECT_EQ(writer_.FileConfigDistribute(ConfigData{"taken", "x", "", kFile}), Outcome::kNever);
  EXPECT_TRUE(fs::is_directory(dir_target + "/inner"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(
      logged[1].rfind("error: Refused config file name \"taken\": \"taken\" names a directory", 0),
      0u)
      << logged[1];

  // A directory the node may not write to: may be mended, so tried again later.
  const std::string closed = kConfigs + "closed";
  fs::create_directory(closed);
  ::chmod(closed.c_str(), 0500);
  logged.clear();
  const Outcome outcome = writer_.FileConfigDistribute(ConfigData{"closed/a.yaml", "x", "", kFile});
  ::chmod(closed.c_str(), 0700);
  if (::geteuid() != 0) {  // root writes anyway
    EXPECT_EQ(outcome, Outcome::kLater);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1].rfind("error: Failed to create tmp config file for closed/a.yaml", 0), 0u)
        << logged[1];
  }

  // Unsafe names never reach the filesystem.
  logged.clear();
  EXPECT_EQ(writer_.FileConfigDistribute(ConfigData{"../outside", "x", "", kFile}),
            Outcome::kNever);
  EXPECT_FALSE(fs::exists(root_ + "/outside"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].rfind("error: Refused config file name \"../outside\"", 0), 0u);

  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, StartupSweepsTemporariesOfAnInterruptedWriteOnly) {
  const std::string configs = kConfigs;
  fs::create_directories(configs + "sub/deeper");
  fs::create_directories(root_ + "/outside_dir");
  for (const std::string& left :
       {configs + ".tmp_config_a1B2c3", configs + "sub/.tmp_config_XyZ123",
        configs + "sub/deeper/.tmp_config_000000", root_ + "/outside_dir/.tmp_config_qqqqqq"}) {
    std::ofstream(left) << "half";
  }
  // Not a temporary of ours: other names, and what lies behind a link.
  std::ofstream(configs + ".tmp_config_not_ours") << "keep";
  std::ofstream(configs + "sub/tmp_config_abcdef") << "keep";
  fs::create_directory_symlink(root_ + "/outside_dir", configs + "link");

  EXPECT_EQ(writer_.SweepTemporaries(), 3u);
  EXPECT_EQ(TempLeftovers(), std::vector<std::string>{configs + ".tmp_config_not_ours"});
  EXPECT_TRUE(FileExists(configs + "sub/tmp_config_abcdef"));
  EXPECT_TRUE(FileExists(root_ + "/outside_dir/.tmp_config_qqqqqq"));
  fs::remove_all(root_ + "/outside_dir");
}

TEST_F(FileDistribution, WithdrawalRemovesOnceAndRefusesUnsafeNames) {
  ASSERT_EQ(writer_.FileConfigDistribute(ConfigData{"w.yaml", "w", "", kFile}), Outcome::kDone);
  logged.clear();
  EXPECT_EQ(writer_.DeleteFileConfig("w.yaml"), Outcome::kDone);
  EXPECT_FALSE(fs::exists(kConfigs + "w.yaml"));
  // Nothing to remove: logged, and handled all the same.
  EXPECT_EQ(writer_.DeleteFileConfig("w.yaml"), Outcome::kDone);
  EXPECT_EQ(logged, (std::vector<std::string>{"debug: Delete file config w.yaml",
                                              "debug: Delete file config w.yaml",
                                              "error: Failed to delete config file w.yaml"}));

  // Withdrawing "" would remove the configs directory itself if it were empty.
  EXPECT_EQ(writer_.DeleteFileConfig(""), Outcome::kNever);
  EXPECT_TRUE(fs::is_directory(kConfigs));
  EXPECT_EQ(logged.back().rfind("error: Refused to delete config file \"\"", 0), 0u);
}

}  // namespace
}  // namespace config_center::test

namespace config_center::test {
namespace {

struct Inode {
  ino_t ino = 0;
  mode_t mode = 0;
};

Inode InodeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return {info.st_ino, static_cast<mode_t>(info.st_mode & 0777)};
}

void Put(const std::string& path, const std::string& contents, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  ::chmod(path.c_str(), mode);
}

TEST_F(FileDistribution, StartupBatchWritesOnlyWhatChangedAndTheLastStageWins) {
  const std::string same = kConfigs + "same.yaml";
  const std::string loose = kConfigs + "loose.yaml";
  const std::string both = kConfigs + "both.yaml";
  const std::string fresh = kConfigs + "sub/fresh.yaml";
  fs::create_directory(kConfigs + "sub");
  Put(same, "kept", 0600);
  Put(loose, "kept", 0644);  // right bytes, wrong mode
  Put(both, "custom", 0600);
  const Inode same_before = InodeOf(same);
  const Inode both_before = InodeOf(both);
  const Inode loose_before = InodeOf(loose);

  ConfigFileBatch batch;
  std::string error;
  ASSERT_EQ(batch.Stage("same.yaml", same, "kept", &error), WriteStep::kNone) << error;
  ASSERT_EQ(batch.Stage("loose.yaml", loose, "kept", &error), WriteStep::kNone) << error;
  // A global item and then the custom item of the same file: the disk already holds the
  // custom content, so the global content staged first must not land.
  ASSERT_EQ(batch.Stage("both.yaml", both, "global", &error), WriteStep::kNone) << error;
  ASSERT_EQ(batch.Stage("both.yaml", both, "custom", &error), WriteStep::kNone) << error;
  ASSERT_EQ(batch.Stage("sub/fresh.yaml", fresh, std::string("a\0b", 3), &error), WriteStep::kNone);
  EXPECT_FALSE(FileExists(fresh));  // nothing is in effect before the commit
  EXPECT_EQ(batch.staged(), 2u);
  EXPECT_EQ(batch.unchanged(), 2u);

  EXPECT_TRUE(batch.Commit().empty());
  std::string contents;
  ASSERT_TRUE(ReadFile(both, &contents));
  EXPECT_EQ(contents, "custom");
  ASSERT_TRUE(ReadFile(fresh, &contents));
  EXPECT_EQ(contents, std::string("a\0b", 3));
  EXPECT_EQ(Mode(fresh), 0600u);
  EXPECT_EQ(Mode(loose), 0600u);
  EXPECT_EQ(InodeOf(same).ino, same_before.ino);  // not rewritten
  EXPECT_EQ(InodeOf(both).ino, both_before.ino);
  EXPECT_NE(InodeOf(loose).ino, loose_before.ino);  // rewritten to set its mode
  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, StartupBatchFailuresHoldBackNoOtherFileAndLeaveNoTemporaries) {
  const std::string first = kConfigs + "first.yaml";
  const std::string taken = kConfigs + "taken";
  const std::string last = kConfigs + "last.yaml";
  fs::create_directories(taken + "/inner");
  {
    ConfigFileBatch batch;
    std::string error;
    ASSERT_EQ(batch.Stage("first.yaml", first, "1", &error), WriteStep::kNone);
    ASSERT_EQ(batch.Stage("taken", taken, "x", &error), WriteStep::kNone);
    ASSERT_EQ(batch.Stage("last.yaml", last, "3", &error), WriteStep::kNone);
    const std::vector<ConfigFileBatch::Failure> failures = batch.Commit();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].name, "taken");
    EXPECT_EQ(failures[0].step, WriteStep::kReplaceTarget);
    EXPECT_EQ(failures[0].error.rfind("rename: ", 0), 0u) << failures[0].error;
    EXPECT_EQ(batch.committed(), 2u);
  }
  std::string contents;
  ASSERT_TRUE(ReadFile(first, &contents));
  EXPECT_EQ(contents, "1");
  EXPECT_TRUE(fs::is_directory(taken + "/inner"));
  ASSERT_TRUE(ReadFile(last, &contents));
  EXPECT_EQ(contents, "3");
  EXPECT_TRUE(TempLeftovers().empty());

  // A batch that is never committed changes nothing.
  {
    ConfigFileBatch batch;
    std::string error;
    ASSERT_EQ(batch.Stage("first.yaml", first, "changed", &error), WriteStep::kNone);
  }
  ASSERT_TRUE(ReadFile(first, &contents));
  EXPECT_EQ(contents, "1");
  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, StartupBatchMakesEachDirectoryOnceAndLogsTheBatchNotEachFile) {
  // Many files over a few directories, two of them new and nested; a file stands where one
  // directory belongs, so its files (and only they) are left to be tried alone.
  std::ofstream(kConfigs + "blocked") << "in the way";
  std::vector<ConfigData> items;
  for (int i = 0; i < 30; ++i) {
    const std::string dir = i % 3 == 0 ? "maps/site/" : i % 3 == 1 ? "params/" : "blocked/";
    items.push_back(
        ConfigData{dir + std::to_string(i) + ".yaml", "v" + std::to_string(i), "", kFile});
  }
  const std::vector<ConfigData> alone = writer_.ApplyTogether(items);

  ASSERT_EQ(alone.size(), 10u);
  for (const ConfigData& item : alone) EXPECT_EQ(item.name.rfind("blocked/", 0), 0u) << item.name;
  for (const ConfigData& item : items) {
    if (item.name.rfind("blocked/", 0) == 0) continue;
    std::string contents;
    ASSERT_TRUE(ReadFile(kConfigs + item.name, &contents)) << item.name;
    EXPECT_EQ(contents, item.value);
    EXPECT_EQ(Mode(kConfigs + item.name), 0600u);
  }
  std::string contents;
  ASSERT_TRUE(ReadFile(kConfigs + "blocked", &contents));
  EXPECT_EQ(contents, "in the way");
  EXPECT_TRUE(TempLeftovers().empty());
  // Each file that could not go in says why; the twenty that did are told in two lines.
  size_t failed = 0;
  size_t other = 0;
  for (const std::string& line : logged) {
    if (line.find("Failed to make the directories of blocked/") != std::string::npos) {
      ++failed;
    } else {
      ++other;
    }
  }
  EXPECT_EQ(failed, 10u);
  EXPECT_EQ(other, 2u) << ::testing::PrintToString(logged);

  // A directory made by the batch that goes away before the next batch is made again.
  fs::remove_all(kConfigs + "maps");
  EXPECT_TRUE(writer_.ApplyTogether({ConfigData{"maps/site/0.yaml", "again", "", kFile}}).empty());
  ASSERT_TRUE(ReadFile(kConfigs + "maps/site/0.yaml", &contents));
  EXPECT_EQ(contents, "again");
}

TEST_F(FileDistribution, LargeBatchIsWrittenByThreadsEachTakingWholeDirectories) {
  EXPECT_EQ(WritersFor(100, 20), 1u);    // small: one thread
  EXPECT_EQ(WritersFor(100000, 1), 1u);  // one directory: one thread
  EXPECT_LE(WritersFor(100000, 20), 4u);
  EXPECT_GE(WritersFor(100000, 20), 1u);

  // 2,400 files over 8 directories; one path staged twice (a global item, then its custom
  // item: the last wins), one target a directory (its rename fails, only it is left out).
  std::vector<ConfigData> items;
  for (int i = 0; i < 2400; ++i) {
    items.push_back(ConfigData{"d" + std::to_string(i % 8) + "/" + std::to_string(i) + ".yaml",
                               "value " + std::to_string(i), "", kFile});
  }
  items.push_back(ConfigData{"d3/3.yaml", "custom", "", kFile});
  fs::create_directories(kConfigs + "d5/taken/inner");
  items.push_back(ConfigData{"d5/taken", "x", "", kFile});
  std::vector<BatchWriters::File> files;
  for (const ConfigData& item : items) {
    const std::string path = kConfigs + item.name;
    fs::create_directories(fs::path(path).parent_path());
    files.push_back({&item, path, path.substr(0, path.rfind('/') + 1)});
  }
  const size_t cores = std::thread::hardware_concurrency();
  BatchWriters writers(files, WritersFor(items.size(), 8));
  if (cores >= 2) {
    EXPECT_GE(writers.writers(), 2u);
  }
  const std::vector<ConfigData> alone = writers.Run();

  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].name, "d5/taken");
  EXPECT_EQ(writers.committed(), 2400u);
  for (size_t i = 0; i < 2400; ++i) {
    std::string contents;
    ASSERT_TRUE(ReadFile(kConfigs + items[i].name, &contents)) << items[i].name;
    EXPECT_EQ(contents, i == 3 ? "custom" : items[i].value) << items[i].name;
  }
  EXPECT_TRUE(fs::is_directory(kConfigs + "d5/taken/inner"));
  EXPECT_TRUE(TempLeftovers().empty());
}

}  // namespace
}  // namespace config_center::test
