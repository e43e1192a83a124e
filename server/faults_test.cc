#include "server/faults.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

TEST(FaultPlanTest, RulesApplyToTheirOperationAsOftenAsCounted) {
  FaultPlan plan;
  std::string error;
  ASSERT_TRUE(plan.Parse("dispatch:status=300*2,bigupload:drop=4096,any:delay=5*1", &error))
      << error;
  int64_t v = 0;
  EXPECT_FALSE(plan.Take(FaultOp::kCheck, FaultKind::kStatus, &v));
  EXPECT_TRUE(plan.Take(FaultOp::kDispatch, FaultKind::kStatus, &v));
  EXPECT_EQ(300, v);
  EXPECT_TRUE(plan.Take(FaultOp::kDispatch, FaultKind::kStatus, &v));
  EXPECT_FALSE(plan.Take(FaultOp::kDispatch, FaultKind::kStatus, &v));
  EXPECT_TRUE(plan.Take(FaultOp::kBigUpload, FaultKind::kDrop, &v));
  EXPECT_EQ(4096, v);
  EXPECT_FALSE(plan.Take(FaultOp::kBigUpload, FaultKind::kDrop, &v));
  // "any" matches whichever operation comes first, once.
  EXPECT_TRUE(plan.Take(FaultOp::kSpace, FaultKind::kDelay, &v));
  EXPECT_EQ(5, v);
  EXPECT_FALSE(plan.Take(FaultOp::kLogin, FaultKind::kDelay, &v));
}

TEST(FaultPlanTest, MalformedRulesAreRefusedAndKeepThePreviousPlan) {
  FaultPlan plan;
  std::string error;
  ASSERT_TRUE(plan.Parse("space:fail*3", &error));
  for (const char* bad : {"space", "nosuch:fail", "check:drop=10", "dispatch:status=0",
                          "dispatch:status=x", "space:fail*0", "space:explode", "check:delay=-5"}) {
    error.clear();
    EXPECT_FALSE(plan.Parse(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  int64_t v;
  EXPECT_TRUE(plan.Take(FaultOp::kSpace, FaultKind::kFail, &v));
  ASSERT_TRUE(plan.Parse("", &error));
  EXPECT_TRUE(plan.empty());
}

}  // namespace
}  // namespace vexa::server
