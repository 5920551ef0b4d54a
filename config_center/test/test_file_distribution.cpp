// File items against the real configs directory of the isolated environment.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_center/config_center.hpp"
#include "config_center/config_file.hpp"
#include "config_center/config_file_batch.hpp"
#include "config_center/logging.hpp"
#include "support/config_files.hpp"

namespace config_center::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> logged;

void Collect(const spdlog::source_loc&, spdlog::level::level_enum level, std::string_view text) {
  logged.push_back(std::string(spdlog::level::to_string_view(level).data()) + ": " +
                   std::string(text));
}

class FileDistribution : public ::testing::Test {
protected:
  void SetUp() override {
    RemoveConfigs();
    logged.clear();
    SetLogDivert(&Collect);
  }
  void TearDown() override { SetLogDivert(nullptr); }

  static std::vector<std::string> TempLeftovers() {
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
};

TEST(ConfigFilePath, RefusesNamesThatLeaveTheDirectory) {
  std::string path;
  std::string why;
  for (const std::string& name :
       {std::string(""), std::string("/etc/passwd"), std::string(".."), std::string("../x"),
        std::string("a/../../x"), std::string("a/.."), std::string("a\0b", 3)}) {
    EXPECT_FALSE(ConfigFilePath(kConfigs, name, &path, &why)) << name;
    EXPECT_FALSE(why.empty());
  }
  for (const std::string name : {"a.yaml", "..a", "a..", "sub/a.yaml", "./a", "a/..b"}) {
    ASSERT_TRUE(ConfigFilePath(kConfigs, name, &path, &why)) << name << ": " << why;
    EXPECT_EQ(path, std::string(kConfigs) + name);
  }
}

TEST_F(FileDistribution, WritesTheExactBytesAndReplacesWhole) {
  const std::string target = std::string(kConfigs) + "exact.bin";
  {  // An older, longer file with other permissions is replaced, not overwritten in place.
    std::ofstream old(target);
    old << std::string(10000, 'o');
  }
  ::chmod(target.c_str(), 0644);
  const std::string value("line 1\nline\0 2\r\n\xff no newline at the end", 37);
  ASSERT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"exact.bin", value, "", kFile}),
            Outcome::kDone);
  std::string contents;
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents, value);
  EXPECT_EQ(Mode(target), 0600u);
  EXPECT_EQ(logged, std::vector<std::string>{"debug: FileConfigDistribute: exact.bin"});

  ASSERT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"exact.bin", "", "", kFile}),
            Outcome::kDone);
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents, "");

  const std::string large(5 * 1024 * 1024 + 3, 'L');
  ASSERT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"exact.bin", large, "", kFile}),
            Outcome::kDone);
  ASSERT_TRUE(ReadFile(target, &contents));
  EXPECT_EQ(contents.size(), large.size());
  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, FailuresLeaveTheTargetAndNoTemporaryFile) {
  // Failures that an operator can mend while the node runs are tried again (kLater); an
  // unsafe name never becomes acceptable (kNever).
  // A directory in the target's place cannot be replaced.
  const std::string dir_target = std::string(kConfigs) + "taken";
  fs::create_directory(dir_target);
  fs::create_directory(dir_target + "/inner");
  EXPECT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"taken", "x", "", kFile}),
            Outcome::kLater);
  EXPECT_TRUE(fs::is_directory(dir_target + "/inner"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].rfind("error: Failed to use tmpfile cover target file", 0), 0u) << logged[1];

  // A subdirectory that does not exist is not created.
  logged.clear();
  EXPECT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"nodir/a.yaml", "x", "", kFile}),
            Outcome::kLater);
  EXPECT_FALSE(fs::exists(std::string(kConfigs) + "nodir"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].rfind("error: Failed to create tmp config file", 0), 0u) << logged[1];

  // Unsafe names never reach the filesystem.
  logged.clear();
  EXPECT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"../outside", "x", "", kFile}),
            Outcome::kNever);
  EXPECT_FALSE(fs::exists("/opt/velgar/outside"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].rfind("error: Refused config file name \"../outside\"", 0), 0u);

  EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(FileDistribution, WithdrawalRemovesOnceAndRefusesUnsafeNames) {
  ASSERT_EQ(ConfigCenter::FileConfigDistribute(ConfigData{"w.yaml", "w", "", kFile}),
            Outcome::kDone);
  ConfigTableChangesData change;
  change.name = "w.yaml";
  logged.clear();
  EXPECT_EQ(ConfigCenter::DeleteFileConfig(change), Outcome::kDone);
  EXPECT_FALSE(fs::exists(std::string(kConfigs) + "w.yaml"));
  // Nothing to remove: logged, and handled all the same.
  EXPECT_EQ(ConfigCenter::DeleteFileConfig(change), Outcome::kDone);
  EXPECT_EQ(logged, (std::vector<std::string>{"debug: Delete file config w.yaml",
                                              "debug: Delete file config w.yaml",
                                              "error: Failed to delete config file w.yaml"}));

  // Withdrawing "" would remove the configs directory itself if it were empty.
  change.name = "";
  EXPECT_EQ(ConfigCenter::DeleteFileConfig(change), Outcome::kNever);
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
  const std::string same = std::string(kConfigs) + "same.yaml";
  const std::string loose = std::string(kConfigs) + "loose.yaml";
  const std::string both = std::string(kConfigs) + "both.yaml";
  const std::string fresh = std::string(kConfigs) + "sub/fresh.yaml";
  fs::create_directory(std::string(kConfigs) + "sub");
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

  std::string failed;
  ASSERT_EQ(batch.Commit(&failed, &error), WriteStep::kNone) << error;
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

TEST_F(FileDistribution, StartupBatchFailuresKeepWhatCameBeforeAndLeaveNoTemporaries) {
  const std::string first = std::string(kConfigs) + "first.yaml";
  const std::string taken = std::string(kConfigs) + "taken";
  const std::string last = std::string(kConfigs) + "last.yaml";
  fs::create_directories(taken + "/inner");
  {
    ConfigFileBatch batch;
    std::string error;
    ASSERT_EQ(batch.Stage("first.yaml", first, "1", &error), WriteStep::kNone);
    ASSERT_EQ(batch.Stage("taken", taken, "x", &error), WriteStep::kNone);
    ASSERT_EQ(batch.Stage("last.yaml", last, "3", &error), WriteStep::kNone);
    std::string failed;
    EXPECT_EQ(batch.Commit(&failed, &error), WriteStep::kReplaceTarget);
    EXPECT_EQ(failed, "taken");
    EXPECT_EQ(error.rfind("rename: ", 0), 0u) << error;
  }
  std::string contents;
  ASSERT_TRUE(ReadFile(first, &contents));
  EXPECT_EQ(contents, "1");
  EXPECT_TRUE(fs::is_directory(taken + "/inner"));
  EXPECT_FALSE(FileExists(last));
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

}  // namespace
}  // namespace config_center::test
