// The fused slots 5 and 6 of the rows with 128 x 128 tiles: each stage (A's
// noise, B's noise, the mining launch) is checked just before it runs, so a
// refusal leaves the stages before it launched and none after.
#include <string>
#include <vector>

#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

// Buffers for slots 5 and 6 at a given shape; the operands' contents do not
// matter here (all zero, with a zero target: nothing is reported).
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;  // device memory serves here: nothing reads it back
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> counts;
  // One dump record per thread of every tile and rank step.
  FusedBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k), noised_b(size_t(n) * k),
        a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), extra(1), sync(1), header(1),
        entries(size_t(m / 128 + 1) * (n / 128 + 1) * 128 * (k / rank + 1)), values(entries.count * 128),
        counts(entries.count * 128) {}
};

struct FusedCase {
  const char* what;
  bool dump;  // slot 6
  int m, n, k, rank;
  // -1 none; else the index of the argument made null: 0 A, 1 B, 4 A right,
  // 7 B', 9 A index1, 11 B index1, 16 header, 19 seed, 20 extra or entries,
  // 22 value counts.
  int null_pointer;
  int capacity;  // slot 6's rank steps per thread
  cudaError_t result;
  dim3 last_grid;  // of the last accepted launch; x = 0 when there is none
};

cudaError_t run(const GpuBackendDescriptor& row, FusedBuffers& f, const FusedCase& c) {
  const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
  if (c.dump) {
    return row.launch_noise_and_mine_dump(
        pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, pick(4, f.a_right.ptr), f.b_right.ptr,
        f.noised_a.ptr, pick(7, f.noised_b.ptr), f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr, pick(11, f.b_i1.ptr),
        c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr, pick(19, f.seed.ptr),
        pick(20, f.entries.ptr), f.values.ptr, pick(22, f.counts.ptr), c.capacity, nullptr);
  }
  return row.launch_noise_and_mine(pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr,
                                   pick(4, f.a_right.ptr), f.b_right.ptr, f.noised_a.ptr, pick(7, f.noised_b.ptr),
                                   f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr, pick(11, f.b_i1.ptr), c.m, c.n, c.k,
                                   c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr, pick(19, f.seed.ptr),
                                   pick(20, f.extra.ptr), nullptr);
}

struct FusedRow {
  const char* what;
  const char* force;
  const char* device;
  size_t shared_bytes;  // the mining kernel's dynamic shared memory
  bool attributes;      // the launch sets the kernel's shared-memory maximum and carveout
  std::vector<FusedCase> cases;
};

using RowFusedSlotsTest = RowDeviceTest<FusedRow>;

TEST_P(RowFusedSlotsTest, CheckEachStageJustBeforeItRuns) {
  const FusedRow& row_case = GetParam();
  const GpuBackendDescriptor& row = forced_row(row_case.force);
  for (const FusedCase& c : row_case.cases) {
    SCOPED_TRACE(c.what);
    restart();
    FusedBuffers f(c.m > 0 ? c.m : 1, c.n > 0 ? c.n : 1, c.k > 0 ? c.k : 1, c.rank > 0 ? c.rank : 1);
    EXPECT_EQ(run(row, f, c), c.result);
    const auto launch = last_launch();
    if (c.last_grid.x == 0) {
      EXPECT_EQ(launch.kernel, nullptr);
      continue;
    }
    EXPECT_EQ(launch.grid.x, c.last_grid.x);
    EXPECT_EQ(launch.grid.y, c.last_grid.y);
    if (c.result == cudaSuccess) {
      EXPECT_EQ(launch.block.x, 128u);
      EXPECT_EQ(launch.dynamic_shared_bytes, row_case.shared_bytes);
      if (row_case.attributes) {
        const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
        EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(row_case.shared_bytes));
        EXPECT_EQ(attributes.preferred_carveout, 100);
      }
    } else {
      // The last launch is a sparse-noise apply: 256 threads, one left-factor row.
      EXPECT_EQ(launch.block.x, 256u);
      EXPECT_EQ(launch.dynamic_shared_bytes, size_t(c.rank));
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

const std::vector<FusedCase> kExplicitCases = {
    {"mines", false, 256, 384, 256, 64, -1, 0, cudaSuccess, dim3(2, 3, 1)},
    {"smallest tile", false, 128, 128, 128, 64, -1, 0, cudaSuccess, dim3(1, 1, 1)},
    {"rank 96 divides k 192", false, 128, 128, 192, 96, -1, 0, cudaSuccess, dim3(1, 1, 1)},
    {"null extra", false, 128, 128, 128, 64, 20, 0, cudaSuccess, dim3(1, 1, 1)},
    {"rank 100 divides k", false, 128, 128, 400, 100, -1, 0, cudaSuccess, dim3(1, 1, 1)},
    {"k 4160 rank 64", false, 128, 128, 4160, 64, -1, 0, cudaSuccess, dim3(1, 1, 1)},
    {"rank 6", false, 128, 128, 600, 6, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"k not a multiple of rank", false, 128, 128, 4000, 128, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    // Refused after both noise stages: the last launch is B's apply kernel.
    {"k 100 rank 64", false, 128, 128, 100, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"n 192", false, 128, 192, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(192, 1, 1)},
    {"m 192", false, 192, 128, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"n 100", false, 128, 100, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(100, 1, 1)},
    {"null header", false, 128, 256, 256, 64, 16, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null seed", false, 128, 256, 256, 64, 19, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null B index", false, 64, 96, 256, 64, 11, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null B", false, 64, 96, 256, 64, 1, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null A right", false, 64, 96, 256, 64, 4, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"null A index", false, 64, 96, 256, 64, 9, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"m 0", false, 0, 96, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"n 0", false, 64, 0, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
};

// The stages both of turing's fused slots refuse alike.
const FusedCase kTuringStages[] = {
    {"m 192", false, 192, 128, 256, 64, -1, 1, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"n 320", false, 128, 320, 256, 64, -1, 1, cudaErrorInvalidValue, dim3(320, 1, 1)},
    {"k 4000", false, 128, 128, 4000, 64, -1, 1, cudaErrorInvalidValue, dim3(128, 8, 1)},
    {"rank 96", false, 128, 128, 384, 96, -1, 1, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"null header", false, 128, 256, 256, 64, 16, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null seed", false, 128, 256, 256, 64, 19, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null B index", false, 256, 128, 1024, 64, 11, 1, cudaErrorInvalidValue, dim3(256, 2, 1)},
    {"null B", false, 256, 128, 256, 64, 1, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"n 0", false, 256, 0, 256, 64, -1, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null A right", false, 128, 128, 256, 64, 4, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"null A index", false, 128, 128, 256, 64, 9, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"m 0", false, 0, 128, 256, 64, -1, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"rank 0", false, 128, 128, 256, 0, -1, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
};

std::vector<FusedCase> turing_cases() {
  std::vector<FusedCase> cases;
  for (bool dump : {false, true}) {
    for (FusedCase c : kTuringStages) {
      c.dump = dump;
      cases.push_back(c);
    }
  }
  cases.push_back({"mines", false, 256, 384, 128, 64, -1, 0, cudaSuccess, dim3(24, 1, 1)});
  cases.push_back({"null extra is dropped", false, 128, 128, 128, 128, 20, 0, cudaSuccess, dim3(8, 1, 1)});
  // One rank step per thread at most: the zero target writes no header.
  cases.push_back({"dump mines", true, 128, 256, 128, 64, -1, 1, cudaSuccess, dim3(16, 1, 1)});
  cases.push_back({"dump: null entries", true, 128, 256, 128, 64, 20, 1, cudaErrorInvalidValue, dim3(256, 1, 1)});
  cases.push_back(
      {"dump: null value counts", true, 128, 256, 128, 64, 22, 1, cudaErrorInvalidValue, dim3(256, 1, 1)});
  cases.push_back({"dump: capacity 0", true, 128, 256, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 1, 1)});
  return cases;
}

const std::vector<FusedCase> kAmpereCases = {
    {"mines", false, 256, 384, 128, 64, -1, 0, cudaSuccess, dim3(24, 1, 1)},
    {"null extra", false, 128, 128, 64, 64, 20, 0, cudaSuccess, dim3(8, 1, 1)},
    {"dump mines", true, 128, 128, 128, 64, -1, 2, cudaSuccess, dim3(8, 1, 1)},
    {"m 192 after both noises", false, 192, 128, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"k 4000 after both noises", false, 128, 256, 4000, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 8, 1)},
    {"rank 96 after both noises", false, 128, 128, 192, 96, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"null header", false, 128, 256, 128, 64, 16, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: null seed", true, 128, 256, 128, 64, 19, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: capacity 0", true, 128, 256, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: null value counts", true, 128, 256, 128, 64, 22, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: null entries", true, 128, 256, 128, 64, 20, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: m 192", true, 192, 128, 128, 64, -1, 1, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"null B index after A's noise", false, 64, 96, 128, 64, 11, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null B after A's noise", true, 64, 96, 128, 64, 1, 1, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"n 0 after A's noise", false, 64, 0, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null A right", false, 64, 96, 128, 64, 4, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"null A index", true, 64, 96, 128, 64, 9, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"m 0", false, 0, 96, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
};

const std::vector<FusedCase> kCmp170hxCases = {
    {"mines", false, 256, 384, 128, 128, -1, 0, cudaSuccess, dim3(48, 1, 1)},
    {"one tile, fifteen surplus blocks", false, 128, 128, 128, 128, 20, 0, cudaSuccess, dim3(16, 1, 1)},
    {"17 M tiles, thirty surplus blocks", false, 2176, 256, 128, 128, -1, 0, cudaSuccess, dim3(64, 1, 1)},
    {"dump mines", true, 128, 256, 256, 128, -1, 2, cudaSuccess, dim3(32, 1, 1)},
    {"rank 64 after both noises", false, 128, 128, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"k 4032 after both noises", false, 128, 256, 4032, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 8, 1)},
    {"m 192 after both noises", false, 192, 128, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"n 320 after both noises", false, 128, 320, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(320, 1, 1)},
    {"null header", false, 128, 256, 128, 128, 16, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: capacity 0", true, 128, 256, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: null value counts", true, 128, 256, 128, 128, 22, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: null seed", true, 128, 256, 128, 128, 19, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"dump: rank 64", true, 128, 256, 128, 64, -1, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null B' after A's noise", false, 64, 96, 128, 128, 7, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null B after A's noise", true, 64, 96, 128, 128, 1, 1, cudaErrorInvalidValue, dim3(64, 1, 1)},
    {"null A right", false, 64, 96, 128, 128, 4, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"null A index", true, 64, 96, 128, 128, 9, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"k 0", false, 128, 128, 0, 128, -1, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
};

INSTANTIATE_TEST_SUITE_P(
    Rows, RowFusedSlotsTest,
    ::testing::Values(FusedRow{"dp2a", "cmp170hx-dp2a", kCmp170hxDevice, 0, false, kExplicitCases},
                      FusedRow{"scalar", "cmp170hx-scalar", kCmp170hxDevice, 0, false, kExplicitCases},
                      FusedRow{"volta", "volta", kCmp170hxDevice, 0, false, kExplicitCases},
                      FusedRow{"turing", "turing", kTuringDevice, 16384, false, turing_cases()},
                      FusedRow{"ampere", "ampere", kAmpereDevice, 49152, true, kAmpereCases},
                      FusedRow{"cmp170hx", "cmp170hx", kCmp170hxDevice, 65536, true, kCmp170hxCases}),
    [](const ::testing::TestParamInfo<FusedRow>& info) { return std::string(info.param.what); });

}  // namespace
