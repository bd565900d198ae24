// The noise generator: factors equal to the CPU reference for every
// instantiation, its grid, and the slot's refusals.
#include <cstdlib>
#include <vector>

#include "backends/cmp170hx_dp2a_mining_kernel.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"
#include "gemm/noise_generation_host.h"

namespace {

using NoiseGenerationTest = HostDeviceTest;

struct Shape {
  int m, n, k, rank;
};

struct Factors {
  DeviceArray<int8_t> left_a, right_a, right_b, left_b;
  DeviceArray<uint8_t> seed_a, seed_b;
  explicit Factors(const Shape& s)
      : left_a(size_t(s.m) * s.rank), right_a(size_t(s.rank) * s.k), right_b(size_t(s.rank) * s.k),
        left_b(size_t(s.n) * s.rank), seed_a(test_seed(1)), seed_b(test_seed(2)) {}

  NoiseGenerationArgs args(const Shape& s) {
    NoiseGenerationArgs a;
    a.left_a = left_a.ptr;
    a.right_a = right_a.ptr;
    a.right_b = right_b.ptr;
    a.left_b = left_b.ptr;
    a.m = s.m;
    a.n = s.n;
    a.k = s.k;
    a.rank = s.rank;
    a.seed_a = seed_a.ptr;
    a.seed_b = seed_b.ptr;
    return a;
  }

  void expect_reference(const Shape& s) {
    const CpuNoiseFactors a = cpu_noise_factors(test_seed(1).data(), s.m, s.k, s.rank);
    const CpuNoiseFactors b = cpu_noise_factors(test_seed(2).data(), s.n, s.k, s.rank);
    EXPECT_EQ(left_a.download(), a.left);
    EXPECT_EQ(right_a.download(), a.right);
    EXPECT_EQ(right_b.download(), b.right);
    EXPECT_EQ(left_b.download(), b.left);
  }
};

TEST_F(NoiseGenerationTest, EveryInstantiationWritesTheReferenceFactors) {
  struct Case {
    int rank;
    void (*run)(NoiseGenerationArgs&, cudaStream_t);
  };
  const Case cases[] = {
      {128, vexal::run_noise_generation<128, 128>}, {64, vexal::run_noise_generation<64, 128>},
      {128, vexal::run_noise_generation<128, 64>},  {128, vexal::run_noise_generation<128, 32>},
      {64, vexal::run_noise_generation<64, 64>},    {64, vexal::run_noise_generation<64, 32>},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rank);
    // Extents that are not multiples of the per-block amounts.
    const Shape shape{33, 70, 1030, c.rank};
    Factors factors(shape);
    NoiseGenerationArgs args = factors.args(shape);
    c.run(args, nullptr);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    factors.expect_reference(shape);
  }
}

TEST_F(NoiseGenerationTest, SlotGeneratesTheFactorsWithOneLaunch) {
  struct Case {
    Shape shape;
    unsigned blocks;
  };
  const Case cases[] = {
      {{256, 256, 256, 128}, 8 + 1 + 1 + 8},
      {{256, 256, 256, 64}, 4 + 1 + 1 + 4},
      {{33, 1, 1025, 128}, 2 + 2 + 2 + 1},
  };
  for (const Case& c : cases) {
    const Shape& s = c.shape;
    SCOPED_TRACE(s.m * 1000 + s.rank);
    Factors factors(s);
    ASSERT_EQ(vexal_cmp170hx_dp2a::Slots::launch_generate_noise(
                  s.rank, s.m, s.n, s.k, factors.left_a.ptr, factors.right_a.ptr,
                  factors.right_b.ptr, factors.left_b.ptr, factors.seed_a.ptr, factors.seed_b.ptr,
                  nullptr),
              cudaSuccess);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 8192u);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    factors.expect_reference(s);
  }
}

TEST_F(NoiseGenerationTest, AuxAndExtraSegmentsAddTheirBlocks) {
  const Shape s{64, 64, 2048, 128};
  Factors factors(s);
  DeviceArray<int8_t> aux(size_t(s.rank) * s.k);
  DeviceArray<int8_t> extra(5000);
  NoiseGenerationArgs args = factors.args(s);
  args.right_a_aux = aux.ptr;
  args.extra = extra.ptr;
  args.extra_len = 5000;
  vexal::run_noise_generation<128, 128>(args, nullptr);
  // left 2 + right_a 2 + right_a_aux 2 + right_b 2 + left_b 2 + extra 5.
  EXPECT_EQ(last_launch().grid.x, 15u);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  factors.expect_reference(s);
  EXPECT_EQ(aux.download(), factors.right_a.download());
}

TEST_F(NoiseGenerationTest, SlotRefusesBadArgumentsWithoutLaunching) {
  const Shape s{128, 128, 128, 128};
  Factors f(s);
  int8_t* la = f.left_a.ptr;
  int8_t* ra = f.right_a.ptr;
  int8_t* rb = f.right_b.ptr;
  int8_t* lb = f.left_b.ptr;
  const uint8_t* sa = f.seed_a.ptr;
  const uint8_t* sb = f.seed_b.ptr;
  struct Case {
    int rank, m, n, k;
    int8_t *la, *ra, *rb, *lb;
    const uint8_t *sa, *sb;
  };
  const Case cases[] = {
      {32, 128, 128, 128, la, ra, rb, lb, sa, sb},   {96, 128, 128, 128, la, ra, rb, lb, sa, sb},
      {256, 128, 128, 128, la, ra, rb, lb, sa, sb},  {128, 0, 128, 128, la, ra, rb, lb, sa, sb},
      {128, 128, -1, 128, la, ra, rb, lb, sa, sb},   {128, 128, 128, 0, la, ra, rb, lb, sa, sb},
      {128, 128, 128, 128, nullptr, ra, rb, lb, sa, sb},
      {128, 128, 128, 128, la, nullptr, rb, lb, sa, sb},
      {128, 128, 128, 128, la, ra, nullptr, lb, sa, sb},
      {128, 128, 128, 128, la, ra, rb, nullptr, sa, sb},
      {128, 128, 128, 128, la, ra, rb, lb, nullptr, sb},
      {128, 128, 128, 128, la, ra, rb, lb, sa, nullptr},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::launch_generate_noise(c.rank, c.m, c.n, c.k, c.la, c.ra, c.rb,
                                                         c.lb, c.sa, c.sb, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

// A generator launch that fails (here: no device) aborts the process.
void launch_without_a_device() {
  setenv("HOSTGPU_DEVICES", "", 1);
  hostgpu::inspect::reinitialise();
  NoiseGenerationArgs args;
  args.m = 64;
  vexal::run_noise_generation<64, 128>(args, nullptr);
}

TEST_F(NoiseGenerationTest, FailedLaunchEndsTheProcess) {
  EXPECT_DEATH(launch_without_a_device(), "CUDA error: .* at .*noise_generation_host\\.h:54");
}

}  // namespace
