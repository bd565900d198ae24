#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/device_listing.h"
#include "run_binary.h"

namespace {

cudaDeviceProp device(int major, int minor, int sms, const char* name, double gib) {
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.major = major;
  prop.minor = minor;
  prop.multiProcessorCount = sms;
  std::strncpy(prop.name, name, sizeof(prop.name) - 1);
  prop.totalGlobalMem = static_cast<size_t>(gib * 1024.0 * 1024.0 * 1024.0);
  return prop;
}

TEST(DeviceListing, BackendNameByCapability) {
  struct Case {
    int major, minor, sms;
    const char* name;
    double gib;
    const char* backend;
  };
  const Case cases[] = {
      {7, 0, 80, "V", 16, "volta"},
      {7, 5, 40, "T", 16, "turing"},
      {7, 2, 8, "X", 16, "unsupported"},
      {6, 1, 20, "P", 8, "unsupported"},
      {11, 0, 20, "Q", 8, "unsupported"},
      {8, 0, 70, "NVIDIA CMP 170HX", 8, "cmp170hx"},
      {8, 0, 108, "NVIDIA CMP 170HX", 8, "ampere"},
      {8, 0, 70, "NVIDIA Graphics Device", 7.0, "cmp170hx"},
      {8, 0, 70, "NVIDIA Graphics Device", 12.1, "ampere"},
      {8, 6, 70, "NVIDIA CMP 170HX", 8, "ampere"},
      {8, 7, 16, "Orin", 32, "ampere"},
      {8, 9, 128, "Ada", 24, "ada"},
      {9, 0, 132, "H", 80, "hopper"},
      {10, 0, 148, "B", 180, "blackwell-b200"},
      {10, 3, 148, "B3", 270, "blackwell-b300"},
      {12, 0, 170, "R", 32, "blackwell-native"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(listing_backend_name(device(c.major, c.minor, c.sms, c.name, c.gib)), c.backend)
        << c.major << "." << c.minor << " " << c.name;
  }
}

TEST(DeviceListing, ReportOfSeveralDevices) {
  const BinaryRun run = run_korvath(
      {"--list-devices", "--devices", "1", "--force-backend", "ada"},
      {{"HOSTGPU_DEVICES", "8.6,Host RTX 3090,8192,82;7.5,Host T4,4096,40;6.1,Old Card,2048,10"}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "CUDA devices available for --devices:\n"
            "  0: Host RTX 3090 cc=8.6 backend=ampere memory_gib=8.00 sms=82\n"
            "  1: Host T4 cc=7.5 backend=turing memory_gib=4.00 sms=40\n"
            "  2: Old Card cc=6.1 backend=unsupported memory_gib=2.00 sms=10 status=unsupported\n");
  EXPECT_EQ(run.err, "");
}

TEST(DeviceListing, NoDevicesIsNotAnError) {
  const BinaryRun run = run_korvath({"--list-devices"}, {{"HOSTGPU_DEVICES", ""}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "No CUDA devices found.\n");
}

TEST(DeviceListing, AFailingCountEndsWithTheCudaError) {
  const BinaryRun run = run_korvath({"--list-devices"}, {{"HOSTGPU_DEVICES", "not a device"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("level=ERROR ver=1.7.6 gpu=system component=miner "
                         "error=\"cudaGetDeviceCount failed: "),
            std::string::npos)
      << run.err;
}

}  // namespace
