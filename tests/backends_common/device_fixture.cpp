#include "device_fixture.h"

#include <cstdlib>

void HostDeviceTest::SetUp() {
  setenv("HOSTGPU_DEVICES", "8.0,NVIDIA CMP 170HX,8192,70", 1);
  hostgpu::inspect::reinitialise();
}

void HostDeviceTest::TearDown() {
  unsetenv("HOSTGPU_DEVICES");
  hostgpu::inspect::reinitialise();
}

hostgpu::inspect::LaunchRecord last_launch() {
  hostgpu::inspect::LaunchRecord record;
  if (!hostgpu::inspect::last_launch(&record)) return hostgpu::inspect::LaunchRecord{};
  return record;
}

std::vector<uint8_t> test_seed(uint8_t salt) {
  std::vector<uint8_t> seed(32);
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(salt * 131 + i * 29 + (i >> 2));
  return seed;
}
