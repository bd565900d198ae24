// The explicit rows' slots around mining: the dump slot, and the debug GEMM
// tile over the whole product.
#include <string>
#include <vector>

#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"

namespace {

class ExplicitSlotsTest : public HostDeviceTest, public ::testing::WithParamInterface<const char*> {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row(GetParam()); }
};

// Buffers for slots 5 and 6 at a given shape; the operands' contents do not
// matter here.
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;  // device memory serves here: nothing reads it back
  FusedBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k), noised_b(size_t(n) * k),
        a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), extra(1), sync(1), header(1) {}
};

TEST_P(ExplicitSlotsTest, DumpSlotPassesItsBuffersUntested) {
  FusedBuffers f(128, 128, 128, 64);
  EXPECT_EQ(row().launch_noise_and_mine_dump(f.a.ptr, f.b.ptr, f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                                             f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr,
                                             f.b_i0.ptr, f.b_i1.ptr, 128, 128, 128, 64, f.header.ptr, f.sync.ptr,
                                             f.target.ptr, f.seed.ptr, nullptr, nullptr, nullptr, 0, nullptr),
            cudaSuccess);
  EXPECT_EQ(last_launch().grid.x, 1u);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_P(ExplicitSlotsTest, DebugTileComputesTheWholeProductOnce) {
  struct Case {
    int m, n, k;
    unsigned blocks;
    bool extremes;  // -128 at A's and B's first byte, where a sign slip would show
  };
  for (const Case& c : {Case{3, 5, 7, 1, false}, Case{128, 128, 64, 64, false}, Case{17, 33, 130, 3, false},
                        Case{1, 1, 1, 1, true}, Case{128, 128, 64, 64, true}, Case{5, 7, 131, 1, true}}) {
    SCOPED_TRACE(c.k);
    std::vector<int8_t> a = cpu_fill_int8(c.extremes ? 31 : 21, int64_t(c.m) * c.k);
    std::vector<int8_t> b = cpu_fill_int8(c.extremes ? 32 : 22, int64_t(c.n) * c.k);
    if (c.extremes) {
      a[0] = -128;
      b[0] = -128;
    }
    DeviceArray<int8_t> da(a), db(b);
    DeviceArray<int32_t> product(size_t(c.m) * c.n), counts(size_t(c.m) * c.n);
    ASSERT_EQ(row().launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, c.m, c.n, c.k, nullptr),
              cudaSuccess);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.block.x, 256u);
    const auto p = product.download();
    const auto n = counts.download();
    for (int i = 0; i < c.m; ++i) {
      for (int j = 0; j < c.n; ++j) {
        int32_t sum = 0;
        for (int t = 0; t < c.k; ++t) sum += int32_t(a[size_t(i) * c.k + t]) * b[size_t(j) * c.k + t];
        ASSERT_EQ(p[size_t(i) * c.n + j], sum);
        ASSERT_EQ(n[size_t(i) * c.n + j], 1);
      }
    }
  }
}

TEST_P(ExplicitSlotsTest, DebugTileRefusesBadArguments) {
  DeviceArray<int8_t> a(64), b(64);
  DeviceArray<int32_t> p(64), n(64);
  struct Case {
    const int8_t *a, *b;
    int32_t *p, *n;
    int m, nn, k;
  };
  const Case cases[] = {
      {nullptr, b.ptr, p.ptr, n.ptr, 4, 4, 4}, {a.ptr, nullptr, p.ptr, n.ptr, 4, 4, 4},
      {a.ptr, b.ptr, nullptr, n.ptr, 4, 4, 4}, {a.ptr, b.ptr, p.ptr, nullptr, 4, 4, 4},
      {a.ptr, b.ptr, p.ptr, n.ptr, 0, 4, 4},   {a.ptr, b.ptr, p.ptr, n.ptr, 4, -2, 4},
      {a.ptr, b.ptr, p.ptr, n.ptr, 4, 4, 0},
      // m · n beyond the kernel's 32-bit element index.
      {a.ptr, b.ptr, p.ptr, n.ptr, 65536, 32768, 4},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(row().launch_debug_gemm_tile(c.a, c.b, c.p, c.n, c.m, c.nn, c.k, nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ExplicitSlotsTest, ::testing::Values("cmp170hx-dp2a", "cmp170hx-scalar", "volta"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           const std::string name = info.param;
                           return name.substr(name.find('-') + 1);
                         });

}  // namespace
