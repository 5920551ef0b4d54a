// The event groups of the binary log as the feed reads them, without a server: which commit
// hands on which change-log rows, and when a commit must be read with a SELECT instead.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tracking/change_log_commits.hpp"

namespace config_center {
namespace {

constexpr uint64_t kChangeLog = 7;
constexpr uint64_t kOther = 8;

std::vector<ConfigTableChangesData> Rows(int64_t first, int count, size_t value_size = 1) {
  std::vector<ConfigTableChangesData> rows;
  for (int i = 0; i < count; ++i) {
    ConfigTableChangesData row;
    row.id = first + i;
    row.name = "p";
    row.value = std::string(value_size, 'v');
    rows.push_back(row);
  }
  return rows;
}

// A group that maps both tables, as a statement whose triggers write the change log does.
void StartGroup(ChangeLogCommits& commits) {
  commits.GroupStart();
  commits.TableMap(kOther, "ROBOT", "global_config");
  commits.TableMap(kChangeLog, "ROBOT", "config_table_changes");
}

std::vector<int64_t> Ids(const ChangeLogCommits::Committed& committed) {
  std::vector<int64_t> ids;
  for (const auto& row : committed.rows) ids.push_back(row.id);
  return ids;
}

TEST(ChangeLogCommits, ACommitHandsOnTheRowsOfAllItsEventsInOrder) {
  ChangeLogCommits commits;
  StartGroup(commits);
  EXPECT_FALSE(commits.Rows(kOther));
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(4, 2));
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(6, 1));
  ASSERT_TRUE(commits.Commit());
  const auto committed = commits.TakeCommitted();
  EXPECT_TRUE(committed.complete);
  EXPECT_EQ(Ids(committed), (std::vector<int64_t>{4, 5, 6}));

  // The next group starts empty; a COMMIT statement ends it as an XID does.
  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(9, 1));
  ASSERT_TRUE(commits.Statement("", "COMMIT"));
  EXPECT_EQ(Ids(commits.TakeCommitted()), std::vector<int64_t>{9});
}

TEST(ChangeLogCommits, RolledBackRowsAreDroppedAndAnUndecodedEventSpoilsItsGroupOnly) {
  ChangeLogCommits commits;
  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(1, 1));
  EXPECT_FALSE(commits.Statement("", "ROLLBACK"));

  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(2, 1));
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.RowsNotDecoded("why");
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(3, 1));  // too late: the group is read with a SELECT
  ASSERT_TRUE(commits.Commit());
  auto committed = commits.TakeCommitted();
  EXPECT_FALSE(committed.complete);
  EXPECT_TRUE(committed.rows.empty());
  EXPECT_EQ(committed.why_incomplete, "why");

  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(4, 1));
  ASSERT_TRUE(commits.Commit());
  committed = commits.TakeCommitted();
  EXPECT_TRUE(committed.complete);
  EXPECT_EQ(Ids(committed), std::vector<int64_t>{4});
}

TEST(ChangeLogCommits, StatementsAndXaCommitsCarryNoRows) {
  ChangeLogCommits commits;
  commits.GroupStart();
  ASSERT_TRUE(commits.Statement("ROBOT", "TRUNCATE TABLE config_table_changes"));
  EXPECT_FALSE(commits.TakeCommitted().complete);

  // A prepared XA transaction's rows were logged in an earlier group.
  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(5, 1));
  EXPECT_FALSE(commits.Statement("", "XA PREPARE 'x'"));
  commits.GroupStart();
  ASSERT_TRUE(commits.Statement("", "XA COMMIT 'x'"));
  const auto committed = commits.TakeCommitted();
  EXPECT_FALSE(committed.complete);
  EXPECT_TRUE(committed.rows.empty());
}

TEST(ChangeLogCommits, AGroupLargerThanWhatIsKeptIsReadWithASelect) {
  ChangeLogCommits commits(/*kept_bytes=*/1000);
  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(1, 3, 300));
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(4, 1, 300));
  ASSERT_TRUE(commits.Commit());
  auto committed = commits.TakeCommitted();
  EXPECT_FALSE(committed.complete);
  EXPECT_TRUE(committed.rows.empty());
  EXPECT_EQ(committed.why_incomplete,
            "a transaction wrote more to the change log than the feed keeps");

  // The bound is per group.
  StartGroup(commits);
  ASSERT_TRUE(commits.Rows(kChangeLog));
  commits.AddRows(Rows(5, 3, 300));
  ASSERT_TRUE(commits.Commit());
  committed = commits.TakeCommitted();
  EXPECT_TRUE(committed.complete);
  EXPECT_EQ(committed.rows.size(), 3u);
}

}  // namespace
}  // namespace config_center
