#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/log.h"
#include "core/mining_job.h"
#include "engine/share_rate_meter.h"

namespace {

MiningJob job_with_difficulty(double difficulty) {
  MiningJob job;
  job.difficulty = difficulty;
  return job;
}

std::string status_line(const StatusCounters& counters, const ShareRateMeter* meter) {
  log_color_mode = ColorMode::Never;
  testing::internal::CaptureStdout();
  log_status_line(counters, meter);
  return testing::internal::GetCapturedStdout();
}

TEST(ShareRateMeter, ZeroOrInvalidDifficultyChangesNothing) {
  ShareRateMeter meter;
  meter.record_share_work(job_with_difficulty(0));
  meter.record_share_work(job_with_difficulty(-1));
  meter.record_share_work(job_with_difficulty(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(meter.total_work(), 0);
  EXPECT_EQ(meter.attempt_count(), 0u);
  meter.record_share_work(job_with_difficulty(2));
  EXPECT_EQ(meter.total_work(), 2 * 4294967296.0);
  EXPECT_EQ(meter.window_work(), 2 * 4294967296.0);
}

TEST(ShareRateMeter, OldSharesLeaveTheWindowButStayInTheTotal) {
  ShareRateMeter meter;
  meter.record_attempt_time(steady_now_ns() - 1000000);
  meter.record_share_work(job_with_difficulty(1));  // newer than the only attempt
  const int64_t later = steady_now_ns() + 1000000000;
  for (size_t i = 0; i < ShareRateMeter::kMaxAttemptTimes; ++i) {
    meter.record_attempt_time(later + static_cast<int64_t>(i));
  }
  EXPECT_EQ(meter.attempt_count(), ShareRateMeter::kMaxAttemptTimes);
  EXPECT_EQ(meter.window_work(), 0);
  EXPECT_EQ(meter.total_work(), 4294967296.0);
}

TEST(ShareRateMeter, RateSpansFromStartWithOneAttemptAndFromTheOldestWithMore) {
  ShareRateMeter meter;
  meter.record_attempt_time(1000);
  meter.record_share_work(job_with_difficulty(1000));
  const double work = 1000 * 4294967296.0;
  // One kept attempt: the span runs from the loop's start.
  EXPECT_DOUBLE_EQ(meter.window_rate_th_s(2'000'000'000, 0), work / 2.0 / 1e12);
  meter.record_attempt_time(1'000'000'000);
  EXPECT_DOUBLE_EQ(meter.window_rate_th_s(4'000'001'000, 0), work / 4.0 / 1e12);
  // No time at all: a 1e-9 s denominator instead of a division by zero.
  EXPECT_TRUE(std::isfinite(meter.window_rate_th_s(1000, 1000)));
}

TEST(StatusLine, FieldsAndShareRateOnlyAfterAcceptedShares) {
  ShareRateMeter meter;
  const StatusCounters counters{20, 3, 4.0e12, steady_now_ns() - 2'000'000'000};
  const std::string plain = status_line(counters, &meter);
  EXPECT_NE(plain.find("level=INFO"), std::string::npos);
  EXPECT_NE(plain.find("component=miner status attempts=20 hits=3 hashrate_th_s=2.00 "
                       "tmac_s=2.00\n"),
            std::string::npos)
      << plain;
  meter.record_attempt_time(steady_now_ns());
  meter.record_share_work(job_with_difficulty(1));
  const std::string with_shares = status_line(counters, &meter);
  EXPECT_NE(with_shares.find(" share_equiv_th_s="), std::string::npos) << with_shares;
  EXPECT_NE(with_shares.find(" share_equiv_tmac_s="), std::string::npos);
  // The offline pipeline passes no meter.
  EXPECT_EQ(status_line(counters, nullptr).find("share_equiv"), std::string::npos);
  // Written at the very start: finite, not a failure.
  const std::string instant = status_line({1, 0, 1.0, steady_now_ns() + 1'000'000'000}, nullptr);
  EXPECT_NE(instant.find("status attempts=1 hits=0 hashrate_th_s="), std::string::npos);
}

}  // namespace
