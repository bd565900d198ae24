#include <stdexcept>

#include "core/config.h"
#include "core/errors.h"
#include "env_fixture.h"

namespace {

using EnvReaders = ConfigEnvTest;

TEST_F(EnvReaders, FlagAcceptsOnlyTheFourTruthWordsInAnyCase) {
  EXPECT_FALSE(env_flag("HEADLESS_MINER_DEBUG_LOGS"));  // unset
  const std::vector<std::pair<const char*, bool>> cases = {
      {"1", true},  {"true", true}, {"TRUE", true}, {"Yes", true}, {"On", true},
      {"2", false}, {" 1", false},  {"", false},    {"0", false},  {"off", false}};
  for (const auto& [text, expected] : cases) {
    set("HEADLESS_MINER_DEBUG_LOGS", text);
    EXPECT_EQ(env_flag("HEADLESS_MINER_DEBUG_LOGS"), expected) << "'" << text << "'";
  }
}

TEST_F(EnvReaders, IntReadsLeadingNumberUnchecked) {
  EXPECT_EQ(env_int("HEADLESS_MINER_STATUS_INTERVAL", 10), 10);  // unset
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"abc", 0},  {"", 0},      {"12abc", 12},         {" -7", -7},
      {"+5", 5},   {"4294967297", 1},  // cut to the low 32 bits
  };
  for (const auto& [text, expected] : cases) {
    set("HEADLESS_MINER_STATUS_INTERVAL", text);
    EXPECT_EQ(env_int("HEADLESS_MINER_STATUS_INTERVAL", 10), expected) << "'" << text << "'";
  }
}

TEST_F(EnvReaders, StringPrefersAnEmptyValueOverTheFallback) {
  EXPECT_EQ(env_string("HEADLESS_MINER_WORKER", "fallback"), "fallback");
  set("HEADLESS_MINER_WORKER", "");
  EXPECT_EQ(env_string("HEADLESS_MINER_WORKER", "fallback"), "");
}

TEST(ColorModeText, MapsEverySpelling) {
  const std::vector<std::pair<const char*, ColorMode>> cases = {
      {"", ColorMode::Auto},        {"auto", ColorMode::Auto},     {"AUTO", ColorMode::Auto},
      {"always", ColorMode::Always}, {"Always", ColorMode::Always}, {"1", ColorMode::Always},
      {"true", ColorMode::Always},  {"yes", ColorMode::Always},    {"on", ColorMode::Always},
      {"never", ColorMode::Never},  {"0", ColorMode::Never},       {"false", ColorMode::Never},
      {"no", ColorMode::Never},     {"OFF", ColorMode::Never}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_color_mode(text), expected) << text;
}

TEST(ColorModeText, RefusesOtherTextQuotingItUnchanged) {
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse_color_mode("Blue"); }),
            "invalid color mode: Blue (expected auto, always, or never)");
}

TEST(IntList, SkipsEmptyPiecesAndKeepsOrder) {
  EXPECT_EQ(parse_int_list(",1,,3,"), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(parse_int_list(" 2"), (std::vector<int32_t>{2}));
  EXPECT_EQ(parse_int_list("2x,-1,2"), (std::vector<int32_t>{2, -1, 2}));
  EXPECT_TRUE(parse_int_list("").empty());
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse_int_list("1,a"); }), "stoi");
  EXPECT_EQ(thrown_text<std::out_of_range>([] { parse_int_list("2147483648"); }), "stoi");
}

using EnvironmentLayer = ConfigEnvTest;

TEST_F(EnvironmentLayer, NothingSetGivesTheDefaults) {
  Config config;
  ConfigSources sources;
  apply_environment(config, sources);
  EXPECT_FALSE(config.profile || config.debug_transcript || config.debug_logs ||
               config.cuda_schedule_spin || config.disable_b_reuse || config.sync_proof_submit);
  EXPECT_EQ(config.color_mode, ColorMode::Auto);
  EXPECT_EQ(config.status_interval, 10);
  EXPECT_EQ(config.stratum_job_refresh_attempts, 1);
  EXPECT_EQ(config.pool, "");
  EXPECT_FALSE(config.pool_configured);
  EXPECT_EQ(config.stratum_port, 3333);
  EXPECT_EQ(config.password, "x");
  EXPECT_TRUE(config.devices.empty());
  EXPECT_TRUE(sources.failover_texts.empty());
  EXPECT_FALSE(sources.explicit_port);
  EXPECT_EQ(config.transport, "uds");
  EXPECT_EQ(config.socket_path, "/tmp/vexalgw.sock");
  EXPECT_EQ(config.host, "127.0.0.1");
  EXPECT_EQ(config.port, 8337);
  EXPECT_EQ(config.m, 131072);
  EXPECT_EQ(config.n, 131072);
  EXPECT_EQ(config.k, 4096);
  EXPECT_EQ(config.rank, 128);
  EXPECT_EQ(config.max_attempts, 0);
}

TEST_F(EnvironmentLayer, EveryVariableReachesItsField) {
  const std::vector<std::pair<const char*, bool Config::*>> flags = {
      {"HEADLESS_MINER_PROFILE", &Config::profile},
      {"HEADLESS_MINER_DEBUG_TRANSCRIPT", &Config::debug_transcript},
      {"HEADLESS_MINER_DEBUG_LOGS", &Config::debug_logs},
      {"HEADLESS_MINER_CUDA_SCHEDULE_SPIN", &Config::cuda_schedule_spin},
      {"HEADLESS_MINER_DISABLE_B_REUSE", &Config::disable_b_reuse},
      {"HEADLESS_MINER_SYNC_PROOF_SUBMIT", &Config::sync_proof_submit}};
  for (const auto& [name, field] : flags) {
    set(name, "yes");
    Config config;
    ConfigSources sources;
    apply_environment(config, sources);
    EXPECT_TRUE(config.*field) << name;
    unsetenv(name);
  }

  set("HEADLESS_MINER_COLOR", "never");
  set("HEADLESS_MINER_STATUS_INTERVAL", "0");
  set("HEADLESS_MINER_STRATUM_JOB_REFRESH_ATTEMPTS", "4");
  set("HEADLESS_MINER_POOL", "stratum+tcp://pool.example:4444");
  set("HEADLESS_MINER_STRATUM_PORT", "5555");
  set("HEADLESS_MINER_FAILOVER_POOLS", "a,b:1");
  set("HEADLESS_MINER_ADDRESS", "addr");
  set("HEADLESS_MINER_WORKER", "rig");
  set("HEADLESS_MINER_PASSWORD", "p;d=8");
  set("HEADLESS_MINER_FORCE_BACKEND", "ada");
  set("HEADLESS_MINER_CUDA_DEVICES", ",1,,3,");
  Config config;
  ConfigSources sources;
  apply_environment(config, sources);
  EXPECT_EQ(config.color_mode, ColorMode::Never);
  EXPECT_EQ(config.status_interval, 0);
  EXPECT_EQ(config.stratum_job_refresh_attempts, 4);
  EXPECT_EQ(config.pool, "stratum+tcp://pool.example:4444");  // parsed only after the options
  EXPECT_TRUE(config.pool_configured);
  EXPECT_EQ(config.stratum_port, 5555);
  EXPECT_TRUE(sources.explicit_port);
  EXPECT_EQ(sources.failover_texts, std::vector<std::string>{"a,b:1"});
  EXPECT_EQ(config.address, "addr");  // not checked here
  EXPECT_EQ(config.worker, "rig");
  EXPECT_EQ(config.password, "p;d=8");
  EXPECT_EQ(config.force_backend, "ada");
  EXPECT_EQ(config.devices, (std::vector<int32_t>{1, 3}));
  EXPECT_FALSE(sources.address_given || sources.worker_given || sources.password_given ||
               sources.stratum_port_given);
}

TEST_F(EnvironmentLayer, EmptyTextsAreValuesNotAbsence) {
  set("HEADLESS_MINER_PASSWORD", "");
  set("HEADLESS_MINER_POOL", "");
  set("HEADLESS_MINER_COLOR", "");
  set("HEADLESS_MINER_FAILOVER_POOLS", "");
  set("HEADLESS_MINER_CUDA_DEVICES", "");
  Config config;
  ConfigSources sources;
  apply_environment(config, sources);
  EXPECT_EQ(config.password, "");
  EXPECT_EQ(config.pool, "");
  EXPECT_TRUE(config.pool_configured);
  EXPECT_EQ(config.color_mode, ColorMode::Auto);
  EXPECT_TRUE(sources.failover_texts.empty());
  EXPECT_TRUE(config.devices.empty());
}

TEST_F(EnvironmentLayer, BadColourAndBadDeviceListFailBeforeTheArguments) {
  set("HEADLESS_MINER_COLOR", "blue");
  EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"help"}); }),
            "invalid color mode: blue (expected auto, always, or never)");
  unsetenv("HEADLESS_MINER_COLOR");
  set("HEADLESS_MINER_CUDA_DEVICES", "0,x");
  EXPECT_EQ(thrown_text<std::invalid_argument>([] { parse({"--version"}); }), "stoi");
}

// The variable overrides every endpoint's port, so it must be a usable port.
TEST_F(EnvironmentLayer, StratumPortVariableIsValidatedLikeTheOption) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"", "HEADLESS_MINER_STRATUM_PORT has an empty port"},
      {"abc", "HEADLESS_MINER_STRATUM_PORT has a non-numeric port: abc"},
      {" 80", "HEADLESS_MINER_STRATUM_PORT has a non-numeric port:  80"},
      {"0", "HEADLESS_MINER_STRATUM_PORT port must be between 1 and 65535"},
      {"65536", "HEADLESS_MINER_STRATUM_PORT port must be between 1 and 65535"},
      {"99999999999999999999", "HEADLESS_MINER_STRATUM_PORT port must be between 1 and 65535"}};
  for (const auto& [text, message] : cases) {
    set("HEADLESS_MINER_STRATUM_PORT", text);
    EXPECT_EQ(thrown_text<CliUsageError>([] { parse({"--dry-run"}); }), message) << text;
  }
  set("HEADLESS_MINER_STRATUM_PORT", "065535");
  EXPECT_EQ(parse({"--dry-run"}).stratum_port, 65535);
}

TEST(ConfigCopy, OwnsItsTexts) {
  Config source;
  source.failover_pools.push_back(Endpoint{"backup", 4444});
  source.login = "login";
  Config copy = source;
  copy.login = "changed";
  copy.password = "changed";
  copy.failover_pools[0].host = "changed";
  EXPECT_EQ(source.login, "login");
  EXPECT_EQ(source.password, "x");
  EXPECT_EQ(source.failover_pools[0].host, "backup");
}

TEST(MatrixBytes, DoesNotWrapForLargeShapes) {
  EXPECT_EQ(matrix_bytes(131072, 4096), int64_t{1} << 29);
  EXPECT_EQ(matrix_bytes(2147483647, 2147483647), int64_t{2147483647} * 2147483647);
  EXPECT_EQ(matrix_bytes(65536, 65536), int64_t{1} << 32);
}

}  // namespace
