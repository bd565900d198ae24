#pragma once
// A capability 7.5 host device per test, the "turing_sm75" row, and the
// buffers of the fused slots at a given shape.
#include <cstdint>

#include "backends/backend_descriptor.h"
#include "device_fixture.h"

class TuringDeviceTest : public HostDeviceTest {
 protected:
  void SetUp() override;
};

// The row as --force-backend turing selects it.
const GpuBackendDescriptor& turing_row();

// Device buffers for slots 4 to 6; their contents do not matter where used.
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;  // nothing reads it back
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> value_counts;
  FusedBuffers(int m, int n, int k, int rank);
};
