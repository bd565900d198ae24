#include "pool/share_reply.h"

#include <gtest/gtest.h>

#include "scripted_pool.h"

namespace {

TEST(ShareReplyTest, OnlyAnErrorFreeTrueResultIsAccepted) {
  struct Case {
    const char* reply;
    ShareOutcome outcome;
    const char* reason;
  };
  const Case cases[] = {
      {R"({"id":4,"result":true,"error":null})", ShareOutcome::Accepted, ""},
      {R"({"id":4,"result": true ,"error":null})", ShareOutcome::Accepted, ""},
      {R"({"id":4,"result":false,"error":null})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"result":null,"error":null})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"error":null})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"result":"true","error":null})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"result":trueish,"error":null})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"result":true,"error":[23,"low difficulty"]})", ShareOutcome::Rejected, "rejected"},
      {R"({"id":4,"result":null,"error":null,"dropped":true,"reason":"stratum_reconnect"})",
       ShareOutcome::Dropped, "stratum_reconnect"},
      {R"({"id":4,"result":null,"error":null,"dropped":true,"reason":"rejected"})", ShareOutcome::Dropped,
       "rejected"},
      {R"({"id":4,"result":null,"error":null,"dropped":true})", ShareOutcome::Dropped, "stratum_reconnect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const ShareVerdict verdict = judge_share_reply(c.reply);
    EXPECT_EQ(verdict.outcome, c.outcome);
    EXPECT_EQ(verdict.reason, c.reason);
  }
}

TEST(ShareReplyTest, ReportLogsAndCountsOnlyAcceptedShares) {
  LogCapture log;
  const bool accepted = report_share_reply(R"({"id":4,"result":true,"error":null})", "job-1");
  const bool rejected = report_share_reply(R"({"id":5,"result":false,"error":null})", "job-2");
  const bool errored = report_share_reply(R"({"id":6,"result":null,"error":[21,"stale"]})", "job-3");
  const bool dropped =
      report_share_reply(R"({"id":7,"result":null,"error":null,"dropped":true,"reason":"rejected"})", "job-4");
  log.finish();
  EXPECT_TRUE(accepted);
  EXPECT_FALSE(rejected);
  EXPECT_FALSE(errored);
  EXPECT_FALSE(dropped);
  EXPECT_NE(log.out.find("component=share submitted job=job-1\n"), std::string::npos);
  EXPECT_EQ(log.out.find("job-2"), std::string::npos);
  EXPECT_NE(log.err.find("level=WARN"), std::string::npos);
  EXPECT_NE(log.err.find(R"(component=share dropped reason=rejected job=job-2 response="{\"id\":5,\"result\":false,\"error\":null}")"),
            std::string::npos);
  EXPECT_NE(log.err.find(R"(level=ERROR)"), std::string::npos);
  EXPECT_NE(log.err.find(R"(submission_error response="{\"id\":6,\"result\":null,\"error\":[21,\"stale\"]}")"),
            std::string::npos);
  EXPECT_NE(log.err.find("component=share dropped reason=rejected job=job-4\n"), std::string::npos);
}

TEST(ShareReplyTest, AShareLostWithTheConnectionLogsTheFixedDropLine) {
  const char* replies[] = {
      R"({"id":7,"result":null,"error":null,"dropped":true,"reason":"stratum_reconnect"})",
      R"({"id":7,"result":null,"error":null,"dropped":true})",
      R"({"id":7,"result":null,"error":null,"dropped":true,"reason":"made up job=x"})",
  };
  for (const char* reply : replies) {
    SCOPED_TRACE(reply);
    LogCapture log;
    EXPECT_FALSE(report_share_reply(reply, "job-9"));
    log.finish();
    const std::string tail = "component=share dropped reason=stratum_reconnect\n";
    ASSERT_GE(log.err.size(), tail.size()) << log.err;
    EXPECT_EQ(log.err.substr(log.err.size() - tail.size()), tail) << log.err;
    EXPECT_EQ(log.err.find("job-9"), std::string::npos) << log.err;
  }
}

}  // namespace
