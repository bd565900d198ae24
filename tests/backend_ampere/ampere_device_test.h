#pragma once
// A capability 8.6 host device per test: the device the ampere row is chosen for.
#include <gtest/gtest.h>

#include <cstdlib>

#include "hostgpu/inspect.h"

class AmpereDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
};
