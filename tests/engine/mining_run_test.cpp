// The korvath binary's mining runs on the host device, at small shapes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run_binary.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const char kAddress[] = "vex1ppvc9275lcn5suv6c0k3v0mq3xedcpfw2au2rjh5r4rxly9euvxrqaercgl";

Env host_env(const char* devices = "8.6,Host GPU,1024,8", const char* streams = "eager") {
  return {{"HOSTGPU_DEVICES", devices}, {"HOSTGPU_STREAMS", streams}, {"NO_COLOR", "1"}};
}

std::vector<std::string> small_dry_run(std::vector<std::string> extra) {
  std::vector<std::string> args{"--dry-run", "--m", "256", "--n", "256", "--k", "256", "--rank",
                                "64"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

int count(const std::string& text, const std::string& piece) {
  int found = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++found;
  }
  return found;
}

TEST(MiningRun, DryRunMinesExactlyMaxAttemptsOnEachBuiltRowAndStreamMode) {
  struct Case {
    const char* backend;
    const char* row;
    const char* streams;
    std::vector<std::string> shape;
  };
  const std::vector<Case> cases = {
      {"cmp170hx-dp2a", "cmp170hx_dp2a_int", "eager", {}},
      {"cmp170hx-dp2a", "cmp170hx_dp2a_int", "deferred", {}},
      {"cmp170hx-scalar", "cmp170hx_scalar_int", "eager", {}},
      {"cmp170hx-scalar", "cmp170hx_scalar_int", "deferred",
       {"--m", "128", "--n", "384", "--k", "128", "--rank", "128"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra{"--force-backend", c.backend, "--max-attempts", "3",
                                   "--status-interval", "1"};
    extra.insert(extra.end(), c.shape.begin(), c.shape.end());
    const BinaryRun run = run_korvath(small_dry_run(extra), host_env("8.6,Host GPU,1024,8", c.streams));
    SCOPED_TRACE(std::string(c.backend) + " " + c.streams);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("component=miner matrix_seed=0x"), std::string::npos);
    EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("estimated_vram_bytes=2855403520 worker=\"-\""), std::string::npos);
    EXPECT_NE(run.out.find("workspace_ready reason=startup profile_m="), std::string::npos);
    EXPECT_EQ(count(run.out, "component=miner status attempts="), 3) << run.out;
    EXPECT_NE(run.out.find("status attempts=3 hits=0 hashrate_th_s="), std::string::npos);
    EXPECT_NE(run.out.find(" tmac_s="), std::string::npos);
    EXPECT_EQ(run.out.find("share_equiv"), std::string::npos);
  }
}

TEST(MiningRun, StatusIntervalAndProfileLines) {
  const Env env = host_env();
  const BinaryRun sparse = run_korvath(
      small_dry_run({"--force-backend", "cmp170hx-dp2a", "--max-attempts", "4",
                     "--status-interval", "2"}),
      env);
  ASSERT_EQ(sparse.status, 0) << sparse.err;
  EXPECT_EQ(count(sparse.out, "status attempts="), 2);
  EXPECT_NE(sparse.out.find("status attempts=2 "), std::string::npos);
  EXPECT_NE(sparse.out.find("status attempts=4 "), std::string::npos);

  const BinaryRun silent = run_korvath(
      small_dry_run({"--force-backend", "cmp170hx-dp2a", "--max-attempts", "2",
                     "--status-interval", "0"}),
      env);
  ASSERT_EQ(silent.status, 0) << silent.err;
  EXPECT_EQ(count(silent.out, "status attempts="), 0);

  const BinaryRun profiled = run_korvath(
      small_dry_run({"--force-backend", "cmp170hx-dp2a", "--max-attempts", "2",
                     "--status-interval", "1", "--profile"}),
      env);
  ASSERT_EQ(profiled.status, 0) << profiled.err;
  EXPECT_EQ(count(profiled.out, "component=profile attempt_profile attempt="), 2);
  for (const char* field : {" total_seconds=", " hashrate_th_s=", " tmac_s=",
                            " get_mining_info_seconds=", " make_operands_seconds=",
                            " commit_seconds=", " mine_seconds="}) {
    EXPECT_NE(profiled.out.find(field), std::string::npos) << field;
  }
  // Each attempt's profile line precedes its status line.
  EXPECT_LT(profiled.out.find("attempt_profile attempt=2"),
            profiled.out.find("status attempts=2"));
}

TEST(MiningRun, RefusalsEndWithStatusOneBeforeAnyAttempt) {
  struct Case {
    std::vector<std::string> args;
    Env env;
    const char* error;
  };
  Env tuned = host_env();
  tuned.push_back({"VEXAL_HASH_THREADS", "100"});
  Env gateway = host_env();
  gateway.push_back({"HEADLESS_MINER_POOL", ""});
  const std::vector<Case> cases = {
      {{"--dry-run", "--force-backend", "cmp170hx-dp2a", "--m", "200", "--n", "256", "--k", "256",
        "--rank", "64"},
       host_env(),
       "unsupported mining shape m=200 n=256 k=256 rank=64 for backend cmp170hx_dp2a_int: m must "
       "be a multiple of 128"},
      {{"--dry-run", "--force-backend", "cmp170hx-dp2a", "--m", "256", "--n", "256", "--k",
        "4096", "--rank", "96"},
       host_env(), "unsupported mining k/rank shape"},
      {small_dry_run({"--force-backend", "cmp170hx-dp2a"}), tuned,
       "tensor hash settings: VEXAL_HASH_THREADS=100 is not supported"},
      {{"--dry-run", "--force-backend", "cmp170hx-dp2a", "--m", "2048", "--n", "2048", "--k",
        "4096", "--rank", "128"},
       host_env("8.6,Tiny,16,8"), "cudaMalloc: out of memory"},
      // Nobody listens on the built-in gateway socket here; the connect is not retried.
      {{"--force-backend", "cmp170hx-dp2a", "--m", "256", "--n", "256", "--k", "256", "--rank",
        "64"},
       gateway, "connect() failed for unix gateway"},
      {small_dry_run({"--force-backend", "cmp170hx-dp2a", "--devices", "0,1"}),
       host_env("8.6,A,1024,8;8.6,B,1024,8"),
       "--devices with multiple GPUs currently requires Stratum mode"},
  };
  for (const Case& c : cases) {
    // Bounded, so that a case the miner wrongly accepts ends instead of mining for ever.
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--max-attempts", "1"});
    const BinaryRun run = run_korvath(args, c.env);
    SCOPED_TRACE(c.error);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find(std::string("level=ERROR")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string("error=\"") + c.error), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("status attempts="), std::string::npos);
    EXPECT_EQ(run.out.find("found_candidate"), std::string::npos);
  }
}

TEST(MiningRun, HeadlessBenchmarkNeedsASplitRowAndConnectsToNothing) {
  for (const bool with_pool : {false, true}) {
    std::vector<std::string> args{"--benchmark-headless-only", "--force-backend",
                                  "cmp170hx-dp2a", "--m", "256", "--n", "256", "--k", "256",
                                  "--rank", "64", "--max-attempts", "2"};
    if (with_pool) args.insert(args.end(), {"--pool", "127.0.0.1:1", "--address", kAddress});
    const BinaryRun run = run_korvath(args, host_env());
    SCOPED_TRACE(with_pool ? "with a pool" : "offline");
    EXPECT_EQ(run.status, 1);
    // Start-up completes, the workspace included, even with a pool set.
    EXPECT_NE(run.out.find("workspace_ready reason=startup"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("error=\"--benchmark-headless-only requires split sparse/headless "
                           "backend\""),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("not available in this build"), std::string::npos);
  }
}

// Split rows, chosen by capability, mine through the two-slot offline pipeline.
TEST(MiningRun, SplitRowsMineThroughTheOfflinePipeline) {
  struct Case {
    const char* device;
    const char* row;
    const char* streams;
    std::vector<std::string> shape;
  };
  const std::vector<Case> cases = {
      {"8.6,Host RTX 3090,1024,82", "ampere_sm8x", "eager", {}},
      {"8.6,Host RTX 3090,1024,82", "ampere_sm8x", "deferred", {}},
      {"7.5,Host T4,1024,40", "turing_sm75", "deferred", {}},
      {"8.9,Host L4,1024,58", "ada_sm89", "deferred", {"--rank", "128"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra{"--max-attempts", "3", "--status-interval", "1", "--profile"};
    extra.insert(extra.end(), c.shape.begin(), c.shape.end());
    const BinaryRun run = run_korvath(small_dry_run(extra), host_env(c.device, c.streams));
    SCOPED_TRACE(std::string(c.row) + " " + c.streams);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"),
              std::string::npos);
    EXPECT_EQ(count(run.out, "component=miner status attempts="), 3) << run.out;
    EXPECT_GE(count(run.out, "component=miner prep_profile fill_a_ms="), 3) << run.out;
  }
}

TEST(MiningRun, HeadlessBenchmarkReportsOnASplitRow) {
  const BinaryRun run = run_korvath(
      {"--benchmark-headless-only", "--m", "256", "--n", "256", "--k", "256", "--rank", "64",
       "--max-attempts", "3"},
      host_env("8.6,Host RTX 3090,1024,82"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("component=benchmark headless_only_prepared prep_seconds="),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("component=benchmark headless_only_final attempts=3"),
            std::string::npos)
      << run.out;
}

}  // namespace
