#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <hostgpu/inspect.h>

#include "core/config.h"
#include "core/entry_point.h"
#include "core/errors.h"
#include "core/log.h"

namespace {

class LaunchMiningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,A,1024,8;8.6,B,1024,8;7.5,C,1024,8", 1);
    hostgpu::inspect::reinitialise();
    log_color_mode = ColorMode::Never;
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }

  // A stand-in for the mining engine that returns a result per device.
  struct FakeMiner {
    std::vector<int> results_by_device;
    std::mutex mutex;
    std::vector<std::vector<int>> calls;  // device, index, count
    int operator()(Config config, int device, int index, int count) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back({device, index, count, config.m});
      return results_by_device.at(device);
    }
  };

  static int launch(Config& config, FakeMiner& miner, std::string* out = nullptr,
                    std::string* err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = -1;
    try {
      status = launch_mining(config, [&miner](Config c, int d, int i, int n) {
        return miner(std::move(c), d, i, n);
      });
    } catch (...) {
      std::string o = testing::internal::GetCapturedStdout();
      std::string e = testing::internal::GetCapturedStderr();
      if (out) *out = o;
      if (err) *err = e;
      throw;
    }
    std::string o = testing::internal::GetCapturedStdout();
    std::string e = testing::internal::GetCapturedStderr();
    if (out) *out = o;
    if (err) *err = e;
    return status;
  }
};

TEST_F(LaunchMiningTest, ExitStatusIsTheLastNonZeroResult) {
  struct Case {
    std::vector<int> results;
    int status;
  };
  for (const Case& c : {Case{{0, 1, 0}, 1}, Case{{1, 0, 2}, 2}, Case{{0, 0, 0}, 0}}) {
    FakeMiner miner{c.results};
    Config config;
    config.pool = "pool.example";
    config.devices = {0, 1, 2};
    std::string out;
    EXPECT_EQ(launch(config, miner, &out), c.status);
    EXPECT_NE(out.find("starting_multi_gpu devices=0,1,2\n"), std::string::npos) << out;
    ASSERT_EQ(miner.calls.size(), 3u);
    std::set<std::vector<int>> seen(miner.calls.begin(), miner.calls.end());
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(seen.count({i, i, 3, config.m}), 1u) << "device " << i;
    }
  }
}

TEST_F(LaunchMiningTest, OneDeviceRunsOnTheMainThreadWithEveryMode) {
  FakeMiner miner{{0, 7, 0}};
  Config config;
  config.devices = {1};
  config.debug_dump = true;
  config.dump_coords = true;
  std::string out;
  EXPECT_EQ(launch(config, miner, &out), 7);
  EXPECT_EQ(out.find("starting_multi_gpu"), std::string::npos);
  ASSERT_EQ(miner.calls.size(), 1u);
  EXPECT_EQ(miner.calls[0][0], 1);
  EXPECT_EQ(miner.calls[0][2], 1);
}

TEST_F(LaunchMiningTest, AnEmptyListMeansEveryDevice) {
  FakeMiner miner{{0, 0, 0}};
  Config config;
  config.pool = "pool.example";
  launch(config, miner);
  EXPECT_EQ(config.devices, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(miner.calls.size(), 3u);
}

TEST_F(LaunchMiningTest, RefusalsBeforeAnyDeviceRuns) {
  struct Case {
    const char* what;
    void (*prepare)(Config&);
    const char* text;
    bool contexts_configured;  // the refusal comes after the primary-context set-up
  };
  const Case cases[] = {
      {"debug dump", [](Config& c) { c.debug_dump = true; },
       "--devices with multiple GPUs is not supported for debug modes", true},
      {"dump coords", [](Config& c) { c.dump_coords = true; },
       "--devices with multiple GPUs is not supported for debug modes", true},
      {"gemm tile", [](Config& c) { c.debug_gemm_tile = true; },
       "--devices with multiple GPUs is not supported for debug modes", true},
      {"no pool", [](Config& c) { c.pool.clear(); c.dry_run = true; },
       "--devices with multiple GPUs currently requires Stratum mode", true},
      {"repeated ordinal", [](Config& c) { c.devices = {0, 2, 0}; },
       "--devices lists device 0 more than once", false},
  };
  for (const Case& c : cases) {
    hostgpu::inspect::reinitialise();
    FakeMiner miner{{0, 0, 0}};
    Config config;
    config.pool = "pool.example";
    config.devices = {0, 2};
    c.prepare(config);
    try {
      launch(config, miner);
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.text) << c.what;
    }
    EXPECT_TRUE(miner.calls.empty()) << c.what;
    EXPECT_EQ(hostgpu::inspect::primary_context(0).flags, c.contexts_configured ? 4u : 0u)
        << c.what;
  }
}

TEST_F(LaunchMiningTest, NativeExactCheckRunsOnSeveralDevices) {
  FakeMiner miner{{0, 0, 0}};
  Config config;
  config.pool = "pool.example";
  config.devices = {0, 1};
  config.debug_native_exact_rank_tile = true;
  EXPECT_EQ(launch(config, miner), 0);
  EXPECT_EQ(miner.calls.size(), 2u);
}

TEST_F(LaunchMiningTest, DifficultyListMustMatchTheDeviceCount) {
  FakeMiner miner{{0, 0, 0}};
  Config config;
  config.pool = "pool.example";
  config.devices = {0, 1};
  config.password = "x;d=1,2,3";
  EXPECT_THROW(launch(config, miner), CliUsageError);
  EXPECT_TRUE(miner.calls.empty());
  // Refused before the primary contexts were touched.
  EXPECT_EQ(hostgpu::inspect::primary_context(0).flags, 0u);
}

TEST_F(LaunchMiningTest, NoDevicesAndAFailingCount) {
  FakeMiner miner{{0}};
  struct Case {
    const char* devices;
    const char* text;
  };
  for (const Case& c : {Case{"", "no CUDA devices found"},
                        Case{"broken", "cudaGetDeviceCount failed: initialization error"}}) {
    setenv("HOSTGPU_DEVICES", c.devices, 1);
    hostgpu::inspect::reinitialise();
    Config config;
    try {
      launch(config, miner);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
}

// A device thread that cannot be started must not take the process down
// through an unjoined thread: the started ones are joined and the run fails.
TEST_F(LaunchMiningTest, AThreadThatFailsToStartEndsTheRunCleanly) {
  EXPECT_EXIT(
      {
        // Leave room for a few thread stacks only.
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        FILE* statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (statm && std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        if (statm) std::fclose(statm);
        const rlim_t in_use = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        limit.rlim_cur = in_use + (24u << 20);
        setrlimit(RLIMIT_AS, &limit);
        std::string devices;
        for (int i = 0; i < 64; ++i) devices += "8.6,D,64,1;";
        devices.pop_back();
        setenv("HOSTGPU_DEVICES", devices.c_str(), 1);
        hostgpu::inspect::reinitialise();
        testing::internal::CaptureStdout();
        Config config;
        config.pool = "pool.example";
        for (int i = 0; i < 64; ++i) config.devices.push_back(i);
        std::atomic<int> finished{0};
        int status = 0;
        try {
          status = launch_mining(config, [&finished](Config, int, int, int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ++finished;
            return 0;
          });
        } catch (const std::runtime_error& e) {
          const bool named = std::string(e.what()).rfind("start device thread: ", 0) == 0;
          std::_Exit(named && finished > 0 ? 3 : 4);
        }
        std::_Exit(status == 0 ? 5 : 6);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
