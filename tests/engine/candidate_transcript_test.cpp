// A candidate mined under an all-ones target, checked by the engine's own
// transcript replay.
#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "engine/candidate_check.h"
#include "engine/candidate_transcript.h"
#include "engine/miner_startup.h"
#include "engine/serial_loop.h"
#include "host_device_fixture.h"

namespace {

class CandidateTranscriptTest : public HostDeviceTest {};

TEST_F(CandidateTranscriptTest, AllOnesTargetCandidatePassesTheTranscriptCheck) {
  struct Case {
    const char* backend;
    bool deferred;
    int32_t m, n, k, rank;
  };
  const Case cases[] = {
      {"cmp170hx-dp2a", false, 256, 256, 256, 64},
      {"cmp170hx-dp2a", true, 128, 256, 1280, 64},
      {"cmp170hx-scalar", false, 256, 128, 256, 128},
      {"cmp170hx-scalar", true, 256, 256, 256, 64},
  };
  log_color_mode = ColorMode::Never;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.backend) + (c.deferred ? " deferred" : " eager"));
    configure("8.6,Host GPU,1024,8", c.deferred);
    Config config;
    config.dry_run = true;
    config.force_backend = c.backend;
    config.m = c.m;
    config.n = c.n;
    config.k = c.k;
    config.rank = c.rank;
    config.max_attempts = 2;
    config.status_interval = 0;
    testing::internal::CaptureStdout();
    MinerState state(config, 0);
    ASSERT_TRUE(start_up_miner(state, 0, 1));
    // The test hook: the offline job with a target that every digest meets.
    state.offline_job.target.fill(0xffffffffu);
    run_serial_loop(state);
    const std::string out = testing::internal::GetCapturedStdout();
    // Both attempts hit: the header is cleared before every launch.
    EXPECT_NE(out.find("found_candidate rows="), std::string::npos) << out;
    EXPECT_EQ(out.find("found_candidate", out.find("found_candidate") + 1) == std::string::npos,
              false);

    const DeviceWorkspace& w = *state.workspace;
    const HostSignalHeader& header = *w.signal_header;
    ASSERT_EQ(header.status, 1u);
    EXPECT_GT(header.pair_count, 0);
    EXPECT_EQ(candidate_refusal(header, c.m, c.n), "");
    const bool in_place = state.split;
    const CandidateTranscriptCheck check = check_candidate_transcript(
        header, in_place ? w.a.data : w.a_noised.data, in_place ? w.b.data : w.b_noised.data,
        w.a_noise_seed.data, state.config);
    EXPECT_TRUE(check.kernel_hash_matches);
    EXPECT_TRUE(check.replay_matches);
  }
}

}  // namespace
