#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/usage.h"

namespace {

std::string blanks(int count) { return std::string(count, ' '); }

// The usage text line by line, each option description after its stated blank run.
std::string expected_usage() {
  const std::string lines[] = {
      "usage: korvath [help] [OPTIONS]",
      "",
      "Mode:",
      "  Stratum pool mining requires --pool and --address.",
      "",
      "Common options:",
      "  --dry-run" + blanks(25) + "Run attempts without submitting proofs",
      "  --profile" + blanks(25) + "Print per-attempt timing profile",
      "  --debug-log, --debug-logs" + blanks(10) + "Show verbose diagnostic logs",
      "  --color auto|always|never" + blanks(10) + "Color terminal logs, default auto",
      "  --version" + blanks(26) + "Print miner version and exit",
      "  --max-attempts N" + blanks(19) + "Stop after N attempts",
      "  --status-interval N" + blanks(16) + "Print status every N attempts",
      "  --devices 0,1,2" + blanks(20) + "Mine on selected CUDA devices; default all",
      "  --cuda-schedule-spin" + blanks(15) + "Busy-wait on CUDA syncs for lower latency",
      "  --list-devices" + blanks(21) + "Show available CUDA devices and IDs",
      "  --force-backend volta|turing|ampere|cmp170hx|cmp170hx-dp2a|cmp170hx-scalar|ada|hopper|"
      "blackwell|blackwell-native|blackwell-b200|blackwell-b300",
      blanks(36) + "Override automatic GPU backend selection",
      "",
      "Pool options:",
      "  --pool HOST" + blanks(24) + "Pool host, host:port, or stratum+tcp://host:port",
      "  --failover-pools LIST" + blanks(14) + "Comma-separated backup pools parsed like --pool",
      "  --stratum-port PORT" + blanks(16) + "Pool port, default 3333; overrides host port",
      "  --address ADDRESS[.WORKER]" + blanks(9) + "Wallet address; required with --pool",
      "  --worker WORKER" + blanks(20) + "Worker suffix, appended as ADDRESS.WORKER",
      "  --password PASS" + blanks(20) + "Pool password, default x",
      blanks(36) + "Difficulty via a d= field, e.g. \"x;d=131072\".",
      blanks(36) + "For mixed-GPU rigs, d= may be a comma-separated",
      blanks(36) + "list mapping 1:1 to --devices order, e.g.",
      blanks(36) + "--password \"x;d=262144,131072,4096\".",
      "  --stratum-job-refresh-attempts N" + blanks(3) + "Attempts per cached Stratum job, default 1",
      "  --disable-b-reuse" + blanks(18) + "Rebuild raw B and B root every pool attempt",
      "  --sync-proof-submit" + blanks(16) + "Submit shares synchronously",
      "",
      "Debug and validation:",
      "  --proof-self-test" + blanks(18) + "Print a tiny PlainProof self-test",
      "  --proof-bench" + blanks(22) + "CPU proof construction benchmark",
      "  --gpu-proof-bench" + blanks(18) + "GPU proof construction parity benchmark",
      "  --benchmark-headless-only" + blanks(10) + "Benchmark pre-noised headless mining only",
      "  --dump-coords" + blanks(22) + "Dump backend MMA coordinate mapping",
      "  --debug-gemm-tile" + blanks(18) + "Validate backend GEMM tile output",
      "  --debug-dump" + blanks(23) + "Dump jackpot transcript debug data",
      "  --m M --n N --k K --rank R" + blanks(9) + "Override mining shape for tests",
      "",
      "Environment equivalents include HEADLESS_MINER_POOL,",
      "HEADLESS_MINER_FAILOVER_POOLS,",
      "HEADLESS_MINER_ADDRESS, HEADLESS_MINER_WORKER,",
      "HEADLESS_MINER_CUDA_DEVICES,",
      "HEADLESS_MINER_DEBUG_LOGS, HEADLESS_MINER_COLOR, and",
      "HEADLESS_MINER_STATUS_INTERVAL.",
  };
  static_assert(sizeof(lines) / sizeof(lines[0]) == 50, "the usage text has 50 lines");
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(UsageText, IsExactlyTheFiftyLines) {
  std::ostringstream out;
  print_usage(out);
  const std::string actual = out.str();
  EXPECT_EQ(actual, expected_usage());

  // Line by line, so a drift names its line.
  std::istringstream a(actual), e(expected_usage());
  std::string actual_line, expected_line;
  for (int number = 1; std::getline(e, expected_line); ++number) {
    ASSERT_TRUE(std::getline(a, actual_line)) << "missing line " << number;
    EXPECT_EQ(actual_line, expected_line) << "line " << number;
  }
}

TEST(UsageText, VersionLine) {
  std::ostringstream out;
  print_version(out);
  EXPECT_EQ(out.str(), "korvath 1.7.6\n");
}

}  // namespace
