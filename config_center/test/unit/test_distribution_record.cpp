// The on-disk record of what the node distributed: what a restart relies on to withdraw
// items that went away, and never to touch what the node did not write.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "distribution/distribution_record.hpp"

namespace config_center {
namespace {

namespace fs = std::filesystem;

class DistributionRecordTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/var/tmp/config_center_record_test.XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    base_ = name;
    dir_ = base_ + "/state";  // made by the first save
  }
  void TearDown() override { fs::remove_all(base_); }

  std::string base_;
  std::string dir_;
};

TEST_F(DistributionRecordTest, RoundTripsAnyNamesAndKeepsOnlyWhatIsStillThere) {
  const std::string odd_file = std::string("dir with blank/f\\ile\n\x01\xff.yaml");
  const std::string odd_node = "ns/arm";
  DistributionRecord record(dir_);
  std::string why;
  ASSERT_TRUE(record.Load(&why)) << why;  // nothing yet: empty
  EXPECT_TRUE(record.files().empty());
  record.AddFile("a.yaml");
  record.AddFile(odd_file);
  record.AddFile("");
  record.AddParam(odd_node, "speed");
  record.AddParam("cam", "");
  record.AddParam("cam", "fps");
  record.RemoveParam("cam", "fps");
  ASSERT_TRUE(record.Save(&why)) << why;
  struct stat info {};
  ASSERT_EQ(::stat(record.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  DistributionRecord again(dir_);
  ASSERT_TRUE(again.Load(&why)) << why;
  EXPECT_EQ(again.files(), (std::set<std::string>{"", "a.yaml", odd_file}));
  EXPECT_EQ(again.params(),
            (std::set<std::pair<std::string, std::string>>{{"cam", ""}, {odd_node, "speed"}}));
  EXPECT_FALSE(again.changed());
}

TEST_F(DistributionRecordTest, SavesOnlyWhenChanged) {
  DistributionRecord record(dir_);
  std::string why;
  record.AddFile("a.yaml");
  ASSERT_TRUE(record.Save(&why));
  record.AddFile("a.yaml");  // already there
  record.RemoveFile("never.yaml");
  EXPECT_FALSE(record.changed());
  fs::remove(record.path());
  ASSERT_TRUE(record.Save(&why));
  EXPECT_FALSE(fs::exists(record.path()));  // nothing changed, nothing written
}

TEST_F(DistributionRecordTest, ARecordThatDoesNotParseIsRefusedWhole) {
  fs::create_directories(dir_);
  for (const std::string& bad :
       {std::string("file a.yaml\nbogus line\n"), std::string("param only_node\n"),
        std::string("file bad\\x4\n"), std::string("file bad\\q41\n")}) {
    std::ofstream(dir_ + "/" + DistributionRecord::kFileName, std::ios::trunc) << bad;
    DistributionRecord record(dir_);
    std::string why;
    EXPECT_FALSE(record.Load(&why)) << bad;
    EXPECT_NE(why.find("does not parse"), std::string::npos) << why;
    EXPECT_TRUE(record.files().empty()) << bad;
  }
}

TEST_F(DistributionRecordTest, AnUnwritableDirectoryIsReportedAndTriedAgain) {
  fs::create_directories(base_ + "/blocker");
  std::ofstream(base_ + "/blocker/state") << "a file where the directory belongs";
  DistributionRecord record(base_ + "/blocker/state");
  record.AddFile("a.yaml");
  std::string why;
  EXPECT_FALSE(record.Save(&why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(record.changed());  // kept for the next try
  fs::remove(base_ + "/blocker/state");
  EXPECT_TRUE(record.Save(&why)) << why;
  EXPECT_FALSE(record.changed());
}

}  // namespace
}  // namespace config_center
