#pragma once
#include <gtest/gtest.h>

#include <cstdlib>

#include <hostgpu/inspect.h>

// Each test starts from a fresh host device set; deferred streams when asked.
class HostDeviceTest : public ::testing::Test {
 protected:
  static void configure(const char* devices, bool deferred = false, bool poison = false) {
    setenv("HOSTGPU_DEVICES", devices, 1);
    setenv("HOSTGPU_STREAMS", deferred ? "deferred" : "eager", 1);
    if (poison) setenv("HOSTGPU_POISON", "1", 1); else unsetenv("HOSTGPU_POISON");
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    unsetenv("HOSTGPU_POISON");
    hostgpu::inspect::reinitialise();
  }
};
