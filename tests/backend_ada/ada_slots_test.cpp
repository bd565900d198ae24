// The ada row's slots around mining: argument and shape refusals, the order
// of the fused slots' stages, the padded grid, kernel attributes, surplus
// blocks, the coordinate dump and the debug GEMM tile.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ada_test_support.h"

namespace {

using hostgpu::inspect::LaunchRecord;

// Buffers for slots 3 to 6 at a given shape; the contents do not matter here.
struct SlotBuffers {
  AttemptShape s;
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_index0, a_index1, b_index0, b_index1;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> counts;
  HostSignalHeader* header = nullptr;

  explicit SlotBuffers(AttemptShape shape)
      : s(shape),
        a(size_t(s.m) * s.k), b(size_t(s.n) * s.k),
        a_left(size_t(s.m) * 128), b_left(size_t(s.n) * 128),
        a_right(size_t(128) * s.k), b_right(size_t(128) * s.k),
        noised_a(size_t(s.m) * s.k), noised_b(size_t(s.n) * s.k),
        a_index0(s.k), a_index1(s.k), b_index0(s.k), b_index1(s.k),
        target(8), seed(8), extra(1), sync(1),
        entries(size_t(s.m / 128) * (s.n / 256 + 1) * 256 * 4),
        values(size_t(s.m / 128) * (s.n / 256 + 1) * 256 * 4 * 128),
        counts(size_t(s.m / 128) * (s.n / 256 + 1) * 256 * 4 * 128) {
    cudaHostAlloc(reinterpret_cast<void**>(&header), sizeof(HostSignalHeader), 0);
  }
  ~SlotBuffers() { cudaFreeHost(header); }
};

bool same_launch(const LaunchRecord& x, const LaunchRecord& y) {
  return x.kernel == y.kernel && x.grid.x == y.grid.x && x.grid.y == y.grid.y &&
         x.block.x == y.block.x && x.dynamic_shared_bytes == y.dynamic_shared_bytes;
}

using AdaSlotsTest = AdaDeviceTest;

TEST_F(AdaSlotsTest, MiningSlotRefusesBadArgumentsAndShapesWithoutLaunching) {
  struct Case {
    const char* what;
    AttemptShape shape;
    int null_pointer;  // -1: none; 0..5: A', B', header, sync, target, seed
  };
  const std::vector<Case> cases = {
      {"null A'", {128, 256, 128, 128}, 0},      {"null B'", {128, 256, 128, 128}, 1},
      {"null header", {128, 256, 128, 128}, 2},  {"null sync", {128, 256, 128, 128}, 3},
      {"null target", {128, 256, 128, 128}, 4},  {"null seed", {128, 256, 128, 128}, 5},
      {"m 0", {0, 256, 128, 128}, -1},           {"n negative", {128, -256, 128, 128}, -1},
      {"k 0", {128, 256, 0, 128}, -1},           {"rank 0", {128, 256, 128, 0}, -1},
      {"m 192", {192, 256, 128, 128}, -1},       {"n 128", {128, 128, 128, 128}, -1},
      {"n 384", {128, 384, 128, 128}, -1},       {"k 4032", {128, 256, 4032, 128}, -1},
      {"rank 64", {128, 256, 256, 64}, -1},
  };
  SlotBuffers buffers({128, 512, 4096, 128});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const void* p[6] = {buffers.noised_a.ptr, buffers.noised_b.ptr, buffers.header,
                        buffers.sync.ptr,     buffers.target.ptr,   buffers.seed.ptr};
    if (c.null_pointer >= 0) p[c.null_pointer] = nullptr;
    EXPECT_EQ(ada_row().launch_headless_mine(
                  static_cast<const int8_t*>(p[0]), static_cast<const int8_t*>(p[1]), c.shape.m,
                  c.shape.n, c.shape.k, (HostSignalHeader*)p[2], (HostSignalSync*)p[3],
                  static_cast<const uint32_t*>(p[4]), static_cast<const uint32_t*>(p[5]),
                  c.shape.rank, buffers.extra.ptr, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

TEST_F(AdaSlotsTest, GridCoversGroupsOf64MTilesPerNTileWithAttributesSet) {
  struct Case {
    AttemptShape shape;
    unsigned blocks;
  };
  for (const Case& c : {Case{{128, 256, 128, 128}, 64}, Case{{256, 512, 128, 128}, 128},
                        Case{{8320, 512, 128, 128}, 256}}) {
    SCOPED_TRACE(c.shape.m);
    SlotBuffers buffers(c.shape);
    ASSERT_EQ(ada_row().launch_headless_mine(buffers.noised_a.ptr, buffers.noised_b.ptr, c.shape.m,
                                             c.shape.n, c.shape.k, buffers.header,
                                             buffers.sync.ptr, buffers.target.ptr,
                                             buffers.seed.ptr, c.shape.rank, buffers.extra.ptr,
                                             nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const LaunchRecord launch = last_launch();
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.grid.y, 1u);
    EXPECT_EQ(launch.block.x, 256u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 98304u);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, 98304);
    EXPECT_EQ(attributes.preferred_carveout, 100);
    // Surplus blocks do not mine: only the real tiles are counted.
    EXPECT_EQ(buffers.extra.download()[0], uint32_t(c.shape.m / 128) * (c.shape.n / 256));
  }
}

TEST_F(AdaSlotsTest, SurplusBlocksWriteNothing) {
  // m = 128, n = 256: 64 blocks, 63 surplus. Their dump records would follow
  // the real block's; the memory there keeps its pattern, as do the header
  // and sync word under a zero target.
  const AttemptShape s{128, 256, 256, 128};
  const int steps = s.k / s.rank;
  SlotBuffers buffers(s);
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(size_t(64) * 256 * steps, 0xa5);
  DeviceArray<int32_t> values(size_t(64) * 256 * steps * 128, 0xa5);
  DeviceArray<uint32_t> counts(size_t(64) * 256 * steps * 128, 0);
  std::memset(buffers.header, 0x5a, sizeof(HostSignalHeader));
  ASSERT_EQ(ada_row().launch_noise_and_mine_dump(
                buffers.a.ptr, buffers.b.ptr, buffers.a_left.ptr, buffers.b_left.ptr,
                buffers.a_right.ptr, buffers.b_right.ptr, buffers.noised_a.ptr,
                buffers.noised_b.ptr, buffers.a_index0.ptr, buffers.a_index1.ptr,
                buffers.b_index0.ptr, buffers.b_index1.ptr, s.m, s.n, s.k, s.rank, buffers.header,
                buffers.sync.ptr, buffers.target.ptr, buffers.seed.ptr, entries.ptr, values.ptr,
                counts.ptr, steps, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(last_launch().grid.x, 64u);
  const size_t real_entries = size_t(256) * steps;
  const auto dumped_counts = counts.download();
  for (size_t i = 0; i < dumped_counts.size(); ++i) {
    ASSERT_EQ(dumped_counts[i], i < real_entries * 128 ? 1u : 0u) << i;
  }
  const auto dumped_values = values.download();
  for (size_t i = real_entries * 128; i < dumped_values.size(); ++i) {
    ASSERT_EQ(uint32_t(dumped_values[i]), 0xa5a5a5a5u) << i;
  }
  const auto dumped = entries.download();
  for (size_t i = real_entries; i < dumped.size(); ++i) ASSERT_EQ(dumped[i].k_pos, 0xa5a5a5a5u);
  // Zero target: the real block hits nothing either, so nothing is written.
  const auto* header_bytes = reinterpret_cast<const unsigned char*>(buffers.header);
  for (size_t i = 0; i < sizeof(HostSignalHeader); ++i) ASSERT_EQ(header_bytes[i], 0x5a) << i;
  const HostSignalSync sync = buffers.sync.download()[0];
  EXPECT_EQ(sync.words[0], 0u);
  EXPECT_EQ(sync.words[1], 0u);
}

// What the fused slots enqueue before refusing: nothing, the A noise, or both.
enum class Enqueued { nothing, a_noise, both_noises, mining };

struct FusedCase {
  const char* what;
  bool dump;
  AttemptShape shape;
  int null_pointer;  // -1: none; else an index into fused_pointers below
  int capacity;
  Enqueued enqueued;
};

enum Pointer { kNoisedA, kALeft, kNoisedB, kBIndex1, kHeader, kSeed, kValueCounts, kEntries };

class FusedOrderTest : public AdaDeviceTest, public ::testing::WithParamInterface<FusedCase> {};

TEST_P(FusedOrderTest, StagesAreCheckedJustBeforeTheyRun) {
  const FusedCase& c = GetParam();
  const AttemptShape& s = c.shape;
  SlotBuffers buffers({s.m > 0 ? s.m : 128, s.n > 0 ? s.n : 256, 256, 128});
  void* p[] = {buffers.noised_a.ptr, buffers.a_left.ptr,  buffers.noised_b.ptr,
               buffers.b_index1.ptr, buffers.header,      buffers.seed.ptr,
               buffers.counts.ptr,   buffers.entries.ptr};
  if (c.null_pointer >= 0) p[c.null_pointer] = nullptr;
  cudaError_t result;
  if (c.dump) {
    result = ada_row().launch_noise_and_mine_dump(
        buffers.a.ptr, buffers.b.ptr, (int8_t*)p[kALeft], buffers.b_left.ptr, buffers.a_right.ptr,
        buffers.b_right.ptr, (int8_t*)p[kNoisedA], (int8_t*)p[kNoisedB], buffers.a_index0.ptr,
        buffers.a_index1.ptr, buffers.b_index0.ptr, (int16_t*)p[kBIndex1], s.m, s.n, s.k, s.rank,
        (HostSignalHeader*)p[kHeader], buffers.sync.ptr, buffers.target.ptr,
        (uint32_t*)p[kSeed], (VexalHeadlessJackpotDumpEntry*)p[kEntries], buffers.values.ptr,
        (uint32_t*)p[kValueCounts], c.capacity, nullptr);
  } else {
    result = ada_row().launch_noise_and_mine(
        buffers.a.ptr, buffers.b.ptr, (int8_t*)p[kALeft], buffers.b_left.ptr, buffers.a_right.ptr,
        buffers.b_right.ptr, (int8_t*)p[kNoisedA], (int8_t*)p[kNoisedB], buffers.a_index0.ptr,
        buffers.a_index1.ptr, buffers.b_index0.ptr, (int16_t*)p[kBIndex1], s.m, s.n, s.k, s.rank,
        (HostSignalHeader*)p[kHeader], buffers.sync.ptr, buffers.target.ptr,
        (uint32_t*)p[kSeed], buffers.extra.ptr, nullptr);
  }
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(result, c.enqueued == Enqueued::mining ? cudaSuccess : cudaErrorInvalidValue);
  const LaunchRecord launch = last_launch();
  switch (c.enqueued) {
    case Enqueued::nothing:
      EXPECT_EQ(launch.kernel, nullptr);
      break;
    case Enqueued::a_noise:  // the A apply kernel: one block per row of A
      EXPECT_EQ(launch.grid.x, unsigned(s.m));
      EXPECT_EQ(launch.dynamic_shared_bytes, size_t(s.rank));
      break;
    case Enqueued::both_noises:  // ... then the B apply kernel
      EXPECT_EQ(launch.grid.x, unsigned(s.n));
      EXPECT_EQ(launch.dynamic_shared_bytes, size_t(s.rank));
      break;
    case Enqueued::mining:
      EXPECT_EQ(launch.grid.x, 64u);
      EXPECT_EQ(launch.dynamic_shared_bytes, 98304u);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FusedOrderTest,
    ::testing::Values(
        FusedCase{"null_noised_a", false, {128, 384, 256, 128}, kNoisedA, 1, Enqueued::nothing},
        FusedCase{"null_a_left", true, {128, 384, 256, 128}, kALeft, 1, Enqueued::nothing},
        FusedCase{"m_0", false, {0, 384, 256, 128}, -1, 1, Enqueued::nothing},
        FusedCase{"null_noised_b", false, {128, 384, 256, 128}, kNoisedB, 1, Enqueued::a_noise},
        FusedCase{"null_b_index", true, {128, 384, 256, 128}, kBIndex1, 1, Enqueued::a_noise},
        FusedCase{"n_0", false, {128, 0, 256, 128}, -1, 1, Enqueued::a_noise},
        FusedCase{"n_384", false, {128, 384, 256, 128}, -1, 1, Enqueued::both_noises},
        FusedCase{"rank_64", false, {128, 384, 256, 64}, -1, 1, Enqueued::both_noises},
        FusedCase{"null_header", false, {128, 384, 256, 128}, kHeader, 1, Enqueued::both_noises},
        FusedCase{"null_seed", true, {128, 384, 256, 128}, kSeed, 1, Enqueued::both_noises},
        FusedCase{"dump_capacity_0", true, {128, 256, 256, 128}, -1, 0, Enqueued::both_noises},
        FusedCase{"dump_null_counts", true, {128, 256, 256, 128}, kValueCounts, 1,
                  Enqueued::both_noises},
        FusedCase{"dump_null_entries", true, {128, 256, 256, 128}, kEntries, 1,
                  Enqueued::both_noises},
        FusedCase{"dump_n_384", true, {128, 384, 256, 128}, -1, 1, Enqueued::both_noises},
        FusedCase{"mines", false, {128, 256, 256, 128}, -1, 1, Enqueued::mining},
        FusedCase{"mines_with_dump", true, {128, 256, 256, 128}, -1, 2, Enqueued::mining}),
    [](const ::testing::TestParamInfo<FusedCase>& info) { return std::string(info.param.what); });

using AdaAttributeFailureTest = ::testing::Test;

// A device whose opt-in shared memory is below 98304 bytes refuses the
// first attribute; the slot returns that error, leaves the carveout alone
// and launches nothing.
TEST_F(AdaAttributeFailureTest, FailedAttributeIsReturnedBeforeTheCarveoutAndTheLaunch) {
  setenv("HOSTGPU_DEVICES", "8.9,Host Ada,4096,8;7.5,Host Turing,4096,8", 1);
  hostgpu::inspect::reinitialise();
  {
    SlotBuffers buffers({128, 256, 128, 128});
    ASSERT_EQ(ada_row().launch_headless_mine(buffers.noised_a.ptr, buffers.noised_b.ptr, 128, 256,
                                             128, buffers.header, buffers.sync.ptr,
                                             buffers.target.ptr, buffers.seed.ptr, 128,
                                             buffers.extra.ptr, nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
  const LaunchRecord on_first = last_launch();
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  const auto before = hostgpu::inspect::kernel_attributes(on_first.kernel, 1);
  {
    SlotBuffers buffers({128, 256, 128, 128});
    EXPECT_EQ(ada_row().launch_headless_mine(buffers.noised_a.ptr, buffers.noised_b.ptr, 128, 256,
                                             128, buffers.header, buffers.sync.ptr,
                                             buffers.target.ptr, buffers.seed.ptr, 128,
                                             buffers.extra.ptr, nullptr),
              cudaErrorInvalidValue);
    EXPECT_TRUE(same_launch(last_launch(), on_first));
    const auto attributes = hostgpu::inspect::kernel_attributes(on_first.kernel, 1);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, before.max_dynamic_shared_bytes);
    EXPECT_EQ(attributes.preferred_carveout, before.preferred_carveout);
    EXPECT_EQ(attributes.preferred_carveout, -1);

    DeviceArray<int32_t> product(128 * 256), counts(128 * 256);
    EXPECT_EQ(ada_row().launch_debug_gemm_tile(buffers.a.ptr, buffers.b.ptr, product.ptr,
                                               counts.ptr, 128, 256, 128, nullptr),
              cudaErrorInvalidValue);
    EXPECT_TRUE(same_launch(last_launch(), on_first));
  }
  cudaGetLastError();
  unsetenv("HOSTGPU_DEVICES");
  hostgpu::inspect::reinitialise();
}

TEST_F(AdaSlotsTest, CoordinateDumpCoversTheTileOnceWhereTheMiningThreadsTakeTheirCells) {
  DeviceArray<uint16_t> rows(1024 * 256, 0xff), cols(1024 * 256, 0xff);
  DeviceArray<int32_t> meta(2);
  ASSERT_EQ(ada_row().launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const LaunchRecord launch = last_launch();
  EXPECT_EQ(launch.grid.x, 1u);
  EXPECT_EQ(launch.block.x, 256u);
  EXPECT_EQ(launch.dynamic_shared_bytes, 0u);
  const auto m = meta.download();
  ASSERT_EQ(m[0], 128);
  ASSERT_EQ(m[1], 256);
  const auto r = rows.download();
  const auto c = cols.download();
  std::set<std::pair<int, int>> cells;
  for (int t = 0; t < 256; ++t) {
    const CandidateCells mined = candidate_cells(t);
    for (int v = 0; v < 128; ++v) {
      const size_t at = size_t(t) * 256 + v;
      ASSERT_LT(r[at], 128);
      ASSERT_LT(c[at], 256);
      EXPECT_TRUE(cells.insert({r[at], c[at]}).second) << "cell twice: " << r[at] << "," << c[at];
      // The pairs a mining candidate of thread t opens (checked against the header elsewhere).
      ASSERT_EQ(r[at], mined.rows[v / 64]) << t << " " << v;
      ASSERT_EQ(c[at], mined.cols[v % 64]) << t << " " << v;
    }
    for (int v = 128; v < 256; ++v) ASSERT_EQ(r[size_t(t) * 256 + v], 0xffff);  // nothing beyond
  }
  EXPECT_EQ(cells.size(), size_t(128 * 256));

  EXPECT_EQ(ada_row().launch_dump_headless_coords(nullptr, cols.ptr, meta.ptr, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(ada_row().launch_dump_headless_coords(rows.ptr, nullptr, meta.ptr, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(ada_row().launch_dump_headless_coords(rows.ptr, cols.ptr, nullptr, nullptr),
            cudaErrorInvalidValue);
}

std::vector<int8_t> pseudo_random_bytes(size_t count, uint32_t state) {
  std::vector<int8_t> out(count);
  for (auto& v : out) {
    state = state * 1664525u + 1013904223u;
    v = int8_t(uint8_t(state >> 24));
  }
  return out;
}

TEST_F(AdaSlotsTest, DebugGemmTileEqualsTheCpuProductOnTheOriginTile) {
  struct Case {
    int m, n, k;
  };
  for (const Case& c : {Case{128, 256, 128}, Case{128, 256, 384}, Case{256, 512, 128}}) {
    SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n) + "x" + std::to_string(c.k));
    std::vector<int8_t> a = pseudo_random_bytes(size_t(c.m) * c.k, 7);
    std::vector<int8_t> b = pseudo_random_bytes(size_t(c.n) * c.k, 8);
    a[0] = -128;  // the extremes, where a sign or width slip would show
    b[0] = -128;
    b[c.k - 1] = 127;
    DeviceArray<int8_t> da(a.size()), db(b.size());
    da.upload(a);
    db.upload(b);
    DeviceArray<int32_t> product(size_t(c.m) * c.n), counts(size_t(c.m) * c.n);
    ASSERT_EQ(ada_row().launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, c.m, c.n,
                                               c.k, nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const LaunchRecord launch = last_launch();
    EXPECT_EQ(launch.grid.x, 1u);
    EXPECT_EQ(launch.block.x, 256u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 98304u);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, 98304);
    EXPECT_EQ(attributes.preferred_carveout, 100);
    const auto p = product.download();
    const auto n = counts.download();
    for (int i = 0; i < c.m; ++i) {
      for (int j = 0; j < c.n; ++j) {
        const bool origin = i < 128 && j < 256;
        int32_t sum = 0;
        if (origin) {
          for (int t = 0; t < c.k; ++t) sum += int32_t(a[size_t(i) * c.k + t]) * b[size_t(j) * c.k + t];
        }
        ASSERT_EQ(p[size_t(i) * c.n + j], sum) << i << "," << j;
        ASSERT_EQ(n[size_t(i) * c.n + j], origin ? 1 : 0) << i << "," << j;
      }
    }
  }
}

TEST_F(AdaSlotsTest, DebugGemmTileRefusesWhatTheTileCannotCover) {
  DeviceArray<int8_t> a(256 * 256), b(512 * 256);
  DeviceArray<int32_t> product(256 * 512), counts(256 * 512);
  struct Case {
    const char* what;
    int m, n, k;
    bool null_a;
  };
  for (const Case& c : {Case{"m 127", 127, 256, 128, false}, Case{"n 128", 128, 128, 128, false},
                        Case{"k 64", 128, 256, 64, false}, Case{"k 0", 128, 256, 0, false},
                        Case{"k 192", 128, 256, 192, false}, Case{"null A", 128, 256, 128, true}}) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ada_row().launch_debug_gemm_tile(c.null_a ? nullptr : a.ptr, b.ptr, product.ptr,
                                               counts.ptr, c.m, c.n, c.k, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

}  // namespace
