#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/errors.h"
#include "core/usage.h"
#include "env_fixture.h"

namespace {

// A valid payout address (bech32m, prefix vex, version 1, program 00 01 .. 1f).
constexpr char kAddress[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0ska30ux";

constexpr char kMissingPool[] =
    "missing required pool endpoint. Supply --pool and --address. Run `korvath help`.";
constexpr char kMissingAddress[] =
    "missing required flag --address for Stratum pool mode (--pool was supplied). Run `korvath "
    "help`.";
constexpr char kPoolNeeded[] =
    "missing required flag --pool for Stratum pool mode (an address/worker/port/password was "
    "supplied). Run `korvath help`.";
constexpr char kGatewayRefused[] =
    "gateway/solo mining flags are temporarily disabled. Use --pool and --address for pool mining.";

using CliOptions = ConfigEnvTest;

TEST_F(CliOptions, FlagOptionsSetTheirFields) {
  struct Case {
    const char* arg;
    std::vector<bool Config::*> fields;
  };
  const std::vector<Case> cases = {
      {"--dry-run", {&Config::dry_run}},
      {"--profile", {&Config::profile}},
      {"--sync-proof-submit", {&Config::sync_proof_submit}},
      {"--debug-log", {&Config::debug_logs}},
      {"--debug-logs", {&Config::debug_logs}},
      {"--cuda-schedule-spin", {&Config::cuda_schedule_spin}},
      {"--disable-b-reuse", {&Config::disable_b_reuse}},
      {"--proof-self-test", {&Config::proof_self_test}},
      {"--proof-bench", {&Config::proof_bench}},
      {"--gpu-proof-bench", {&Config::gpu_proof_bench}},
      {"--benchmark-headless-only", {&Config::benchmark_headless_only, &Config::dry_run}},
      {"--dump-coords", {&Config::dump_coords}},
      {"--debug-gemm-tile", {&Config::debug_gemm_tile}},
      {"--debug-native-exact-rank-tile", {&Config::debug_native_exact_rank_tile}},
      {"--debug-dump", {&Config::debug_dump, &Config::debug_transcript, &Config::dry_run}},
  };
  for (const Case& c : cases) {
    const Config config = parse({c.arg, "--list-devices"});
    for (bool Config::*field : c.fields) EXPECT_TRUE(config.*field) << c.arg;
    EXPECT_EQ(config.dry_run, std::find(c.fields.begin(), c.fields.end(), &Config::dry_run) !=
                                  c.fields.end())
        << c.arg;
  }
  EXPECT_TRUE(parse({"--list-devices"}).list_devices);
}

TEST_F(CliOptions, ValueOptionsSetTheirFields) {
  const Config config = parse({"--dry-run", "--m", "12abc", "--n", " -3", "--k", "+64", "--rank",
                               "16", "--max-attempts", "9000000000", "--status-interval", "0",
                               "--stratum-job-refresh-attempts", "7", "--color", "ALWAYS",
                               "--force-backend", "no-such-backend", "--devices", "2,,0,"});
  EXPECT_EQ(config.m, 12);
  EXPECT_EQ(config.n, -3);  // shapes are not bounded here
  EXPECT_EQ(config.k, 64);
  EXPECT_EQ(config.rank, 16);
  EXPECT_EQ(config.max_attempts, 9000000000LL);
  EXPECT_EQ(config.status_interval, 0);
  EXPECT_EQ(config.stratum_job_refresh_attempts, 7);
  EXPECT_EQ(config.color_mode, ColorMode::Always);
  EXPECT_EQ(config.force_backend, "no-such-backend");
  EXPECT_EQ(config.devices, (std::vector<int32_t>{2, 0}));
  EXPECT_TRUE(config.login.empty());
}

TEST_F(CliOptions, LaterOptionsOverrideEarlierOnesAndTheEnvironment) {
  set("HEADLESS_MINER_STATUS_INTERVAL", "5");
  set("HEADLESS_MINER_COLOR", "always");
  set("HEADLESS_MINER_CUDA_DEVICES", "4,5");
  set("HEADLESS_MINER_FORCE_BACKEND", "ada");
  const Config config = parse({"--dry-run", "--status-interval", "7", "--m", "5", "--m", "6",
                               "--color", "never", "--devices", "1,2", "--devices", "3",
                               "--force-backend", "turing"});
  EXPECT_EQ(config.status_interval, 7);
  EXPECT_EQ(config.m, 6);
  EXPECT_EQ(config.color_mode, ColorMode::Never);
  EXPECT_EQ(config.devices, std::vector<int32_t>{3});
  EXPECT_EQ(config.force_backend, "turing");
}

TEST_F(CliOptions, EnvironmentFlagsCannotBeClearedAndFillUnsetOptions) {
  set("HEADLESS_MINER_PROFILE", "1");
  set("HEADLESS_MINER_STATUS_INTERVAL", "12abc");
  set("HEADLESS_MINER_DEBUG_TRANSCRIPT", "on");
  const Config config = parse({"--dry-run"});
  EXPECT_TRUE(config.profile);
  EXPECT_TRUE(config.debug_transcript);
  EXPECT_EQ(config.status_interval, 12);
}

TEST_F(CliOptions, NumbersThatDoNotConvertFailWithTheConversionError) {
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse({"--dry-run", "--m", "abc"}); }), "stoi");
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse({"--dry-run", "--rank", ""}); }), "stoi");
  EXPECT_EQ(thrown_text<std::out_of_range>([] { parse({"--dry-run", "--k", "2147483648"}); }),
            "stoi");
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse({"--dry-run", "--devices", "x"}); }),
            "stoi");
  EXPECT_EQ(thrown_text<std::out_of_range>(
                [] { parse({"--dry-run", "--max-attempts", "99999999999999999999"}); }),
            "stoll");
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse({"--max-attempts", "-", "--dry-run"}); }),
            "stoll");
}

TEST_F(CliOptions, UnknownArgumentsAreRuntimeErrors) {
  EXPECT_EQ(thrown_text<std::runtime_error>([] { parse({"--bogus", "help"}); }),
            "unknown argument: --bogus");
  EXPECT_EQ(thrown_text<std::runtime_error>([] { parse({"--dry-run", "--DRY-RUN"}); }),
            "unknown argument: --DRY-RUN");
  EXPECT_EQ(thrown_text<std::runtime_error>([] { parse({"--dry-run", "--pool=h"}); }),
            "unknown argument: --pool=h");
}

TEST_F(CliOptions, OptionsWithoutTheirValueAreRuntimeErrors) {
  for (const char* option :
       {"--color", "--m", "--n", "--k", "--rank", "--max-attempts", "--status-interval",
        "--stratum-job-refresh-attempts", "--pool", "--failover-pools", "--stratum-port",
        "--address", "--worker", "--password", "--force-backend", "--devices"}) {
    EXPECT_EQ(thrown_text<std::runtime_error>([&] { parse({"--dry-run", option}); }),
              std::string("missing value for ") + option);
  }
}

TEST_F(CliOptions, AValueIsTakenWhateverItLooksLike) {
  std::vector<std::string> args = {"korvath", "--password", "--dry-run"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  int index = 1;
  EXPECT_EQ(next_arg_value(index, 3, argv.data(), "--password"), "--dry-run");
  EXPECT_EQ(index, 2);
  EXPECT_EQ(thrown_text<std::runtime_error>([&] { next_arg_value(index, 3, argv.data(), "--x"); }),
            "missing value for --x");

  const Config config = parse({"--pool", "help", "--address", kAddress});
  EXPECT_EQ(config.pool, "help");
}

TEST_F(CliOptions, GatewayOptionsAreRefusedWithoutTakingAValue) {
  for (const char* option : {"--transport", "--socket-path", "--host", "--port"}) {
    EXPECT_EQ(thrown_text<CliUsageError>([&] { parse({"--dry-run", option, "1234"}); }),
              kGatewayRefused);
    EXPECT_EQ(thrown_text<CliUsageError>([&] { parse({"--dry-run", option}); }), kGatewayRefused);
  }
  // Refused where it stands: 1234 would otherwise be an unknown argument.
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--port", "--bogus"}); }), kGatewayRefused);
}

// Help and version print and exit where they stand; the child's stdout goes to a file.
class CliExit : public ConfigEnvTest {
 protected:
  // One file per test, so tests run in parallel do not share it.
  std::string out_path = ::testing::TempDir() + "korvath_cli_exit_" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                         std::to_string(getpid()) + ".txt";

  void TearDown() override {
    std::remove(out_path.c_str());
    ConfigEnvTest::TearDown();
  }

  void run_to_file(std::vector<std::string> args) {
    const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    parse(std::move(args));
  }

  std::string captured() const {
    std::ifstream in(out_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::string usage_text() {
    std::ostringstream out;
    print_usage(out);
    return out.str();
  }
};

TEST_F(CliExit, HelpWordsPrintTheUsageAndExitZero) {
  for (const char* help : {"help", "-h", "--help"}) {
    EXPECT_EXIT(run_to_file({help, "--bogus"}), ::testing::ExitedWithCode(0), "^$") << help;
    EXPECT_EQ(captured(), usage_text()) << help;
  }
  EXPECT_EXIT(run_to_file({"--dry-run", "--m", "5", "help"}), ::testing::ExitedWithCode(0), "^$");
  EXPECT_EQ(captured(), usage_text());
}

TEST_F(CliExit, VersionPrintsOneLineAndExitsZero) {
  EXPECT_EXIT(run_to_file({"--version", "--bogus"}), ::testing::ExitedWithCode(0), "^$");
  EXPECT_EQ(captured(), "korvath 1.7.6\n");
}

TEST_F(CliExit, FailuresBeforeHelpOrVersionWin) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--color", "blue", "--version"}); }),
            "invalid color mode: blue (expected auto, always, or never)");
  EXPECT_EQ(thrown_text<std::runtime_error>([] { parse({"--frobnicate", "-h"}); }),
            "unknown argument: --frobnicate");
  // Checks after the argument loop never run for help.
  EXPECT_EXIT(run_to_file({"--stratum-job-refresh-attempts", "0", "--help"}),
              ::testing::ExitedWithCode(0), "^$");
}

using CliEndpoints = ConfigEnvTest;

TEST_F(CliEndpoints, PoolBecomesHostAndPort) {
  Config config = parse({"--pool", "stratum+tcp://pool.example:4444/", "--address", kAddress});
  EXPECT_EQ(config.pool, "pool.example");
  EXPECT_EQ(config.stratum_port, 4444);
  EXPECT_TRUE(config.pool_configured);

  config = parse({"--pool", "pool.example", "--address", kAddress});
  EXPECT_EQ(config.stratum_port, 3333);

  // An explicit port overrides the pool text's port, whichever comes first.
  config = parse({"--stratum-port", "5555", "--pool", "h:4444", "--address", kAddress});
  EXPECT_EQ(config.stratum_port, 5555);
  config = parse({"--pool", "h:abc", "--address", kAddress, "--stratum-port", "0005"});
  EXPECT_EQ(config.stratum_port, 5);

  set("HEADLESS_MINER_STRATUM_PORT", "6000");
  config = parse({"--pool", "h:4444", "--address", kAddress});
  EXPECT_EQ(config.stratum_port, 6000);
  config = parse({"--pool", "h:4444", "--address", kAddress, "--stratum-port", "7000"});
  EXPECT_EQ(config.stratum_port, 7000);
}

TEST_F(CliEndpoints, PoolFromTheEnvironmentIsParsedAfterTheOptions) {
  set("HEADLESS_MINER_POOL", "tcp://[::1]:3334");
  set("HEADLESS_MINER_ADDRESS", kAddress);
  Config config = parse({});
  EXPECT_EQ(config.pool, "::1");
  EXPECT_EQ(config.stratum_port, 3334);
  config = parse({"--pool", "other:1"});
  EXPECT_EQ(config.pool, "other");
  EXPECT_EQ(config.stratum_port, 1);
}

TEST_F(CliEndpoints, BadEndpointsAndPortsAreUsageErrors) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--pool", "h/x", "--address", kAddress}); }),
            "--pool must not include a URL path");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run", "--stratum-port", "+80"}); }),
            "--stratum-port has a non-numeric port: +80");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run", "--stratum-port", "70000"}); }),
            "--stratum-port port must be between 1 and 65535");
  EXPECT_EQ(thrown_text<std::out_of_range>(
                [] { parse({"--dry-run", "--stratum-port", "99999999999"}); }),
            "stoi");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run", "--failover-pools", "a, :1"}); }),
            "--failover-pools did not include a host");
}

TEST_F(CliEndpoints, FailoverListsKeepEnvironmentFirstThenEachOption) {
  set("HEADLESS_MINER_FAILOVER_POOLS", "e1, e2:7");
  const Config config = parse({"--pool", "main:4444", "--address", kAddress, "--failover-pools",
                               "f1", "--failover-pools", " ,stratum+tcp://f2:9/ ,"});
  const std::vector<std::pair<std::string, int32_t>> expected = {
      {"e1", 4444}, {"e2", 7}, {"f1", 4444}, {"f2", 9}};
  ASSERT_EQ(config.failover_pools.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(config.failover_pools[i].host, expected[i].first) << i;
    EXPECT_EQ(config.failover_pools[i].port, expected[i].second) << i;
  }
}

TEST_F(CliEndpoints, FailoverPortsFollowTheExplicitPort) {
  Config config = parse({"--pool", "main", "--address", kAddress, "--stratum-port", "8000",
                         "--failover-pools", "b:9,c"});
  ASSERT_EQ(config.failover_pools.size(), 2u);
  EXPECT_EQ(config.failover_pools[0].port, 8000);
  EXPECT_EQ(config.failover_pools[1].port, 8000);

  config = parse({"--dry-run", "--failover-pools", " , ,, "});
  EXPECT_TRUE(config.failover_pools.empty());
}

using CliRequired = ConfigEnvTest;

TEST_F(CliRequired, LoginJoinsAddressAndWorker) {
  const std::string a = kAddress;
  const std::vector<std::vector<std::string>> cases = {
      {a, "", a}, {a, "rig1", a + ".rig1"}, {a, ".rig1", a + ".rig1"},
      {a + ".rig1", "", a + ".rig1"}, {a + ".rig1", "gpu0", a + ".rig1.gpu0"}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--pool", "h", "--address", c[0]};
    if (!c[1].empty()) args.insert(args.end(), {"--worker", c[1]});
    EXPECT_EQ(parse(args).login, c[2]);
  }
  set("HEADLESS_MINER_WORKER", "envrig");
  EXPECT_EQ(parse({"--pool", "h", "--address", a}).login, a + ".envrig");
}

TEST_F(CliRequired, PoolNeedsAnAddress) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--pool", "h", "--dry-run"}); }),
            kMissingAddress);
  EXPECT_EQ(thrown_text<CliUsageError>(
                [] { parse({"--pool", "h", "--address", "vex1bad", "--worker", "w"}); }),
            "invalid Vexal address 'vex1bad': bech32 data/checksum is too short");
}

TEST_F(CliRequired, PoolSettingsWithoutAPoolAreRefused) {
  // The address check runs before the missing-pool check.
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run", "--address", "nope.w"}); }),
            "invalid Vexal address 'nope.w': bech32 separator '1' is missing");
  const std::vector<std::vector<std::string>> cases = {
      {"--dry-run", "--address", kAddress},
      {"--dry-run", "--worker", "w"},
      {"--dry-run", "--password", "p"},
      {"--dry-run", "--stratum-port", "4444"},
      {"--address", kAddress},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(thrown_text<CliUsageError>([&] { parse(args); }), kPoolNeeded) << args[1];
  }
  set("HEADLESS_MINER_WORKER", "w");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run"}); }), kPoolNeeded);
}

TEST_F(CliRequired, EnvironmentPasswordAndPortAloneAreNotGivenMarks) {
  set("HEADLESS_MINER_PASSWORD", "p");
  set("HEADLESS_MINER_STRATUM_PORT", "4444");
  const Config config = parse({"--dry-run"});
  EXPECT_EQ(config.password, "p");
  EXPECT_EQ(config.stratum_port, 4444);
}

TEST_F(CliRequired, SomeModeOrPoolSettingIsRequired) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({}); }), kMissingPool);
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--profile", "--debug-log"}); }), kMissingPool);
  for (const char* mode :
       {"--dry-run", "--list-devices", "--proof-self-test", "--proof-bench", "--gpu-proof-bench",
        "--benchmark-headless-only", "--dump-coords", "--debug-gemm-tile",
        "--debug-native-exact-rank-tile", "--debug-dump"}) {
    EXPECT_NO_THROW(parse({mode})) << mode;
  }
}

TEST_F(CliRequired, AnEmptyPoolVariableSelectsTheGateway) {
  set("HEADLESS_MINER_POOL", "");
  const Config config = parse({});
  EXPECT_TRUE(config.pool_configured);
  EXPECT_EQ(config.pool, "");
  EXPECT_FALSE(config.dry_run);
}

TEST_F(CliRequired, RefreshAttemptsBelowOneIsTheLastCheck) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--stratum-job-refresh-attempts", "0"}); }),
            kMissingPool);
  EXPECT_EQ(
      thrown_text<CliUsageError>([] { parse({"--dry-run", "--stratum-job-refresh-attempts", "0"}); }),
      "--stratum-job-refresh-attempts must be >= 1");
  set("HEADLESS_MINER_STRATUM_JOB_REFRESH_ATTEMPTS", "-2");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run"}); }),
            "--stratum-job-refresh-attempts must be >= 1");
  EXPECT_EQ(parse({"--dry-run", "--stratum-job-refresh-attempts", "1"}).stratum_job_refresh_attempts,
            1);
}

}  // namespace
