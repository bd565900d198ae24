#pragma once
// A table-driven fixture over backend rows: each case names the row it forces
// and the host device (HOSTGPU_DEVICES) the row is chosen for.
#include <gtest/gtest.h>

#include <cstdlib>

#include "hostgpu/inspect.h"
#include "mining_attempt.h"

template <class Case>
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
  const GpuBackendDescriptor& row() const { return forced_row(this->GetParam().force_name); }
};

// A row, the host device it is chosen for, and the shape it mines.
struct RowShapeCase {
  const char* force_name;
  const char* device;  // HOSTGPU_DEVICES
  AttemptShape shape;
};
