// The statement text that a condition becomes; no server needed.
#include <gtest/gtest.h>

#include <string>

#include "store/query.hpp"
#include "store/records.hpp"

namespace config_center {
namespace {

TEST(QuerySql, ConditionHoldingSelectBecomesTheWholeStatementInLowerCase) {
  EXPECT_EQ(BuildQuerySql<IncrementId>("SELECT MAX(id) FROM config_table_changes"),
            "select max(id) from config_table_changes");
  // "select" anywhere counts, even inside a quoted value, and quoted values are lowered too.
  EXPECT_EQ(BuildQuerySql<ConfigData>("name = 'PreSelected'"), "name = 'preselected'");
  EXPECT_EQ(BuildQuerySql<ConfigTableChangesData>(
                "select id, name from config_table_changes where id >-1 order by id"),
            "select id, name from config_table_changes where id >-1 order by id");
}

TEST(QuerySql, LimitDropsTheWherePartAndOtherConditionsFollowIt) {
  EXPECT_EQ(BuildQuerySql<ConfigData>("LIMIT 5"), "select * from `ConfigData`  LIMIT 5 ");
  EXPECT_EQ(BuildQuerySql<ConfigData>("deleted = 0 Limit 2"),
            "select * from `ConfigData`  deleted = 0 Limit 2 ");
  // A plain condition keeps its case and gets the where part.
  EXPECT_EQ(BuildQuerySql<IncrementId>("id > 3 AND Name = 'X'"),
            "select * from `IncrementId`  where 1=1 and id > 3 AND Name = 'X' ");
}

}  // namespace
}  // namespace config_center
