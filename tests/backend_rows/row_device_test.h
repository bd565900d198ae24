#pragma once
// A host device per test: the one the case's row is chosen for (or, for the
// rows that only run when forced, the one their tests always used).
#include <gtest/gtest.h>

#include <cstdlib>

#include "hostgpu/inspect.h"

constexpr const char* kCmp170hxDevice = "8.0,NVIDIA CMP 170HX,8192,70";
constexpr const char* kTuringDevice = "7.5,Host Turing,8192,40";
constexpr const char* kAmpereDevice = "8.6,Host GPU,4096,8";
constexpr const char* kAdaDevice = "8.9,Host Ada,4096,8";
constexpr const char* kRtx5090Device = "12.0,Host RTX 5090,4096,8";

template <typename Case>
class RowDeviceTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", this->GetParam().device, 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
  // A fresh device: no launch recorded yet.
  void restart() {
    TearDown();
    SetUp();
  }
};
