// The B300 row's check of its bf16 sums on the device: it passes on the host
// device, and a tensor-core adder narrowed below what the row's sums need
// (the stand-in's test switch) stops the miner before anything is mined.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "core/log.h"
#include "engine/b300_exactness.h"
#include "engine/run_miner.h"
#include "fresh_thread.h"
#include "host_device_fixture.h"

namespace {

const GpuBackendDescriptor& forced(const char* name) {
  Config config;
  config.force_backend = name;
  return select_backend(config, cudaDeviceProp{});
}

// The B300 row's bfloat16 copies belong to the calling thread and outlive a
// reinitialised host device: every launch here runs on a thread of its own.
class Bf16ExactnessTest : public HostDeviceTest {
 protected:
  void TearDown() override {
    unsetenv("HOSTGPU_BF16_ADDER_BITS");
    HostDeviceTest::TearDown();
  }
};

TEST_F(Bf16ExactnessTest, OperandsPutOneLargeProductBesideEachSmallOne) {
  const std::vector<int8_t> rows = exactness_rows(2, 7);
  ASSERT_EQ(rows.size(), 256u);
  int negative = 0;
  for (int k = 0; k < 128; ++k) {
    const int8_t value = rows[k];
    if (k % 2 == 0) {
      EXPECT_EQ(value, -128) << k;
    } else {
      EXPECT_TRUE(value == 1 || value == -1) << k;
      negative += value < 0;
    }
  }
  EXPECT_GT(negative, 8);  // signs vary along k
  EXPECT_LT(negative, 56);
  EXPECT_NE(exactness_rows(2, 7), exactness_rows(2, 8));
}

// A rank step's running sums pass 2^19 before its last MMA and still take
// terms of 1: an adder keeping 19 bits below its largest term is exact, 18
// and fewer are not.
TEST_F(Bf16ExactnessTest, TheCheckPassesOnlyWhereTheAdderKeepsEnoughBits) {
  struct Case {
    const char* devices;
    const char* adder_bits;  // nullptr: the stand-in's exact adder
    bool passes;
  };
  const Case cases[] = {
      {"10.3,Host B300,1024,8", nullptr, true},   {"10.0,Host B200,1024,8", nullptr, true},
      {"10.3,Host B300,1024,8", "19", true},      {"10.3,Host B300,1024,8", "18", false},
      {"10.3,Host B300,1024,8", "13", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.devices) + " bits " + (c.adder_bits ? c.adder_bits : "exact"));
    configure(c.devices);
    if (c.adder_bits) setenv("HOSTGPU_BF16_ADDER_BITS", c.adder_bits, 1);
    cudaDeviceProp prop{};
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
    std::string failure;
    on_fresh_thread([&] {
      try {
        check_bf16_exactness(forced("blackwell-b300"), prop, 0);
      } catch (const std::runtime_error& e) {
        failure = e.what();
      }
    });
    unsetenv("HOSTGPU_BF16_ADDER_BITS");
    if (c.passes) {
      EXPECT_EQ(failure, "");
    } else {
      EXPECT_NE(failure.find("blackwell_b300_sm103 on device 0 (Host B300, compute capability 10.3): the bf16 "
                             "tensor-core sums of the exactness check tile differ from the CPU's"),
                std::string::npos)
          << failure;
    }
  }
}

TEST_F(Bf16ExactnessTest, OtherRowsAreNotChecked) {
  configure("10.0,Host B200,1024,8");
  setenv("HOSTGPU_BF16_ADDER_BITS", "8", 1);
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_NO_THROW(check_bf16_exactness(forced("blackwell-b200"), prop, 0));
  hostgpu::inspect::LaunchRecord launch;
  EXPECT_FALSE(hostgpu::inspect::last_launch(&launch));
}

// A narrowed adder: status 1, one ERROR line, and no attempt is mined.
TEST_F(Bf16ExactnessTest, TheMinerStopsBeforeItsFirstAttempt) {
  log_color_mode = ColorMode::Never;
  configure("10.3,Host B300,1024,8");
  setenv("HOSTGPU_BF16_ADDER_BITS", "16", 1);
  Config config;
  config.dry_run = true;
  config.m = 256;
  config.n = 256;
  config.k = 256;
  config.rank = 128;
  config.max_attempts = 1;
  config.status_interval = 1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = -1;
  on_fresh_thread([&] { status = run_miner(config, 0, 0, 1); });
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("level=ERROR"), std::string::npos) << err;
  EXPECT_NE(err.find("error=\"blackwell_b300_sm103 on device 0 (Host B300, compute capability 10.3)"),
            std::string::npos)
      << err;
  EXPECT_EQ(out.find("starting profile_m"), std::string::npos) << out;
  EXPECT_EQ(out.find("status attempts="), std::string::npos) << out;
}

}  // namespace
