#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <hostgpu/inspect.h>

#include "core/config.h"
#include "core/log.h"
#include "core/primary_contexts.h"

namespace {

class PrimaryContextsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Dev0,1024,8;7.5,Dev1,1024,8", 1);
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
    log_color_mode = ColorMode::Never;
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }

  // Runs the set-up and returns what it logged on stdout and stderr.
  static std::pair<std::string, std::string> configure(const Config& config) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    configure_cuda_primary_contexts(config);
    std::string err = testing::internal::GetCapturedStderr();
    return {testing::internal::GetCapturedStdout(), err};
  }
};

TEST_F(PrimaryContextsTest, SetsTheRequestedSchedulingFlags) {
  struct Case {
    bool spin;
    unsigned int flags;
    const char* line;
  };
  for (const Case& c : {Case{false, 4u, "scheduling=blocking-sync"}, Case{true, 1u, "scheduling=spin"}}) {
    hostgpu::inspect::reinitialise();
    Config config;
    config.devices = {0, 1};
    config.cuda_schedule_spin = c.spin;
    const auto [out, err] = configure(config);
    EXPECT_EQ(hostgpu::inspect::primary_context(0).flags, c.flags);
    EXPECT_EQ(hostgpu::inspect::primary_context(1).flags, c.flags);
    EXPECT_NE(out.find("component=cuda " + std::string(c.line) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("gpu=system"), std::string::npos);
    EXPECT_EQ(err, "");
  }
}

TEST_F(PrimaryContextsTest, AnActiveContextKeepsItsFlagsWithAWarning) {
  hostgpu::inspect::activate_primary_context(0, 4);
  Config config;
  config.devices = {0};
  config.cuda_schedule_spin = true;
  const auto [out, err] = configure(config);
  EXPECT_EQ(hostgpu::inspect::primary_context(0).flags & 7u, 4u);
  EXPECT_NE(err.find("level=WARN"), std::string::npos);
  EXPECT_NE(err.find("primary_context_already_active device=0 current_flags=0x4 "
                     "requested_flags=0x1 action=restart_process_to_change\n"),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("scheduling=spin"), std::string::npos);
}

TEST_F(PrimaryContextsTest, AnActiveContextWithTheRequestedFlagsSaysNothing) {
  hostgpu::inspect::activate_primary_context(1, 4);
  Config config;
  config.devices = {1};
  const auto [out, err] = configure(config);
  EXPECT_EQ(err, "");
  EXPECT_NE(out.find("scheduling=blocking-sync"), std::string::npos);
}

TEST_F(PrimaryContextsTest, AContextThatBecomesActiveMeanwhileIsReported) {
  hostgpu::inspect::activate_primary_context_at_next_set_flags(1, 1);
  Config config;
  config.devices = {0, 1};
  const auto [out, err] = configure(config);
  EXPECT_NE(err.find("primary_context_became_active device=1\n"), std::string::npos) << err;
  EXPECT_EQ(hostgpu::inspect::primary_context(0).flags, 4u);
}

TEST_F(PrimaryContextsTest, AnUnknownOrdinalFailsAtCuDeviceGet) {
  Config config;
  config.devices = {0, 7};
  testing::internal::CaptureStdout();
  try {
    configure_cuda_primary_contexts(config);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("cuDeviceGet: ", 0), 0u) << e.what();
  }
  testing::internal::GetCapturedStdout();
  // The device handled before the failure keeps its new flags.
  EXPECT_EQ(hostgpu::inspect::primary_context(0).flags, 4u);
}

TEST_F(PrimaryContextsTest, AnEmptyListStillLogsTheMode) {
  Config config;
  const auto [out, err] = configure(config);
  EXPECT_NE(out.find("scheduling=blocking-sync"), std::string::npos);
}

}  // namespace
