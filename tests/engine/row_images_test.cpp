// A row whose device images cannot run on the device's capability is refused
// at start-up, before any launch, with an error naming the row and the
// capability; rows that can run pass.
#include <gtest/gtest.h>

#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "core/log.h"
#include "engine/row_images.h"
#include "engine/run_miner.h"
#include "host_device_fixture.h"

namespace {

const GpuBackendDescriptor& forced(const char* name) {
  Config config;
  config.force_backend = name;
  return select_backend(config, cudaDeviceProp{});
}

TEST(RowImages, EachRowRunsOnlyWhereItsImagesDo) {
  struct Case {
    const char* force;
    int major, minor;
    const char* refusal;  // "" runs; else a piece of the refusal
  };
  const Case cases[] = {
      {"blackwell-b200", 10, 0, ""},
      {"blackwell-b200", 10, 3, "sm_103a has no int8 tensor-core MMA"},
      {"blackwell-b200", 10, 1, "blackwell_b200_mining_kernel has images sm_100a, sm_103a"},
      {"blackwell-b200", 12, 0, "compute capability 12.0"},
      {"blackwell-b300", 10, 3, ""},
      {"blackwell-b300", 10, 0, ""},
      {"blackwell-b300", 10, 2, "blackwell_b300_mining_kernel"},
      {"blackwell-native", 10, 3, ""},
      {"blackwell-native", 12, 1, ""},
      {"blackwell-native", 9, 0, "blackwell_native_mining_kernel"},
      {"hopper", 9, 0, ""},
      {"hopper", 12, 0, ""},
      {"hopper", 9, 1, "hopper_mining_kernel has images sm_90a, sm_120"},
      {"turing", 7, 5, ""},
      {"turing", 8, 6, "turing_mining_kernel has images sm_75"},
      {"ampere", 8, 6, ""},
      {"ampere", 11, 0, "compute capability 11.0"},
      {"ampere", 6, 1, "ampere_mining_kernel"},
      {"volta", 7, 0, ""},
      {"cmp170hx-dp2a", 12, 0, ""},
      {"blackwell", 10, 0, "blackwell_mining_kernel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.force) + " on " + std::to_string(c.major) + "." + std::to_string(c.minor));
    const GpuBackendDescriptor& row = forced(c.force);
    const std::string refusal = row_image_refusal(row, c.major, c.minor);
    if (*c.refusal == '\0') {
      EXPECT_EQ(refusal, "");
      continue;
    }
    EXPECT_NE(refusal.find(std::string("backend ") + row.name + " cannot run on compute capability " +
                           std::to_string(c.major) + "." + std::to_string(c.minor)),
              std::string::npos)
        << refusal;
    EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
  }
}

class RowImagesRunTest : public HostDeviceTest {};

// The miner stops with status 1 and one ERROR line; nothing reaches the device.
TEST_F(RowImagesRunTest, ForcedRowOnADeviceItCannotRunOnStopsBeforeAnyLaunch) {
  struct Case {
    const char* force;
    const char* devices;
    const char* capability;
  };
  const Case cases[] = {
      {"blackwell-b200", "10.3,Host B300,1024,8", "10.3"},
      {"turing", "8.6,Host GPU,1024,8", "8.6"},
  };
  log_color_mode = ColorMode::Never;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.force);
    configure(c.devices);
    Config config;
    config.dry_run = true;
    config.force_backend = c.force;
    config.m = 256;
    config.n = 512;
    config.k = 256;
    config.rank = 128;
    config.max_attempts = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_miner(config, 0, 0, 1);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    const std::string row = forced(c.force).name;
    EXPECT_NE(err.find("level=ERROR"), std::string::npos) << err;
    EXPECT_NE(err.find("error=\"backend " + row + " cannot run on compute capability " + c.capability),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("(device 0, "), std::string::npos) << err;
    hostgpu::inspect::LaunchRecord launch;
    EXPECT_FALSE(hostgpu::inspect::last_launch(&launch)) << "a kernel was launched";
  }
}

}  // namespace
