#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "engine/device_workspace.h"
#include "engine/mining_shape.h"
#include "host_device_fixture.h"

namespace {

uint64_t header_bytes() { return 1280; }
uint64_t sync_bytes() { return 8; }

// The workspace reads only the two size slots of a row.
GpuBackendDescriptor sized_row() {
  GpuBackendDescriptor row{"cmp170hx_dp2a_int"};
  row.signal_header_bytes = header_bytes;
  row.signal_sync_bytes = sync_bytes;
  return row;
}

Config shape(int32_t m, int32_t n, int32_t k, int32_t rank) {
  Config config;
  config.m = m;
  config.n = n;
  config.k = k;
  config.rank = rank;
  return config;
}

template <typename T>
std::vector<uint8_t> device_bytes(const T* data, uint64_t offset, uint64_t count) {
  std::vector<uint8_t> bytes(count);
  EXPECT_EQ(cudaMemcpy(bytes.data(), reinterpret_cast<const uint8_t*>(data) + offset, count,
                       cudaMemcpyDeviceToHost),
            cudaSuccess);
  return bytes;
}

class DeviceWorkspaceTest : public HostDeviceTest {};

TEST_F(DeviceWorkspaceTest, BuffersFollowTheShapeInWholeLeaves) {
  configure("8.0,Host,256,8");
  const GpuBackendDescriptor row = sized_row();
  // A: 3 x 1000 bytes (three leaves), B: 700 x 1000 bytes (684 leaves, three blocks).
  const DeviceWorkspace w(shape(3, 700, 1000, 8), row, false);
  EXPECT_EQ(w.a.count, 3072u);
  EXPECT_EQ(w.b.count, 684u * 1024);
  EXPECT_EQ(w.a_noised.count, w.a.count);
  EXPECT_EQ(w.b_noised.count, w.b.count);
  EXPECT_EQ(w.tree_a.counts.front(), 3u);
  EXPECT_EQ(w.nodes_a.count, w.tree_a.total * 32);
  EXPECT_EQ(w.nodes_b.count, w.tree_b.total * 32);
  EXPECT_EQ(w.a_block_roots.count, 3u * 32);
  EXPECT_EQ(w.b_block_roots.count, 3u * 32);
  EXPECT_EQ(w.a_row_factor.count, 24u);
  EXPECT_EQ(w.b_row_factor.count, 5600u);
  EXPECT_EQ(w.a_col_factor.count, 8000u);
  EXPECT_EQ(w.a_index0.count, 1000u);
  EXPECT_EQ(w.proof_buffer.count, 1048576u);
  EXPECT_EQ(w.chunk_jobs.count, 24576u);
  EXPECT_EQ(w.node_jobs.count, 98304u);
  EXPECT_EQ(w.target.count, 8u);
  EXPECT_EQ(w.signal_sync.count, 8u);
  EXPECT_EQ(w.signal_header_bytes, 1280u);
  EXPECT_NE(w.signal_header, nullptr);
  EXPECT_EQ(w.a_snapshot.data, nullptr);
  EXPECT_EQ(w.b_snapshot.data, nullptr);
  EXPECT_EQ(w.key_snapshot.data, nullptr);

  const DeviceWorkspace proving(shape(3, 700, 1000, 8), row, true);
  EXPECT_EQ(proving.a_snapshot.count, 3072u);
  EXPECT_EQ(proving.b_snapshot.count, 684u * 1024);
  EXPECT_EQ(proving.key_snapshot.count, 32u);
}

TEST_F(DeviceWorkspaceTest, ExtraCounterAndLeafPaddingStartAtZero) {
  configure("8.0,Host,256,8", false, /*poison=*/true);
  const DeviceWorkspace w(shape(3, 5, 1000, 8), sized_row(), true);
  EXPECT_EQ(device_bytes(w.extra.data, 0, 4), std::vector<uint8_t>(4, 0));
  for (const DeviceBuffer<int8_t>* matrix : {&w.a, &w.a_noised, &w.a_snapshot}) {
    const std::vector<uint8_t> tail = device_bytes(matrix->data, 3000, 72);
    EXPECT_EQ(tail, std::vector<uint8_t>(72, 0));
    // The content itself is not initialised (the poison shows through).
    EXPECT_EQ(device_bytes(matrix->data, 0, 1)[0], 0xA5);
  }
  const std::vector<uint8_t> b_tail = device_bytes(w.b.data, 5000, 120);
  EXPECT_EQ(b_tail, std::vector<uint8_t>(120, 0));
}

TEST_F(DeviceWorkspaceTest, MemoryBeyondTheDeviceFailsCleanlyAndReleasesEverything) {
  configure("8.0,Small,64,8");
  try {
    const DeviceWorkspace w(shape(4096, 4096, 4096, 128), sized_row(), false);
    FAIL() << "a 64 MiB device held the workspace";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cudaMalloc: out of memory");
  }
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);
}

TEST_F(DeviceWorkspaceTest, DestructionReleasesEverything) {
  configure("8.0,Host,256,8");
  {
    const DeviceWorkspace w(shape(256, 256, 256, 64), sized_row(), true);
    EXPECT_GT(hostgpu::inspect::device_bytes_in_use(0), 4u * 65536);
  }
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);
}

}  // namespace
