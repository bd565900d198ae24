// The tcgen05 instructions against the PTX ISA's descriptor tables and
// CuTe's SM100 statements of them: UMMA::SmemDescriptor and
// UMMA::make_instr_desc for the bits, the 2x1SM MMA traits' A/B/C layouts for
// which CTA holds which rows, and CuTe's Swizzle<3, 4, 3> K-major layout for
// the operands' bytes in shared memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <cute/arch/mma_sm100_desc.hpp>
#include <cute/atom/copy_traits_sm100.hpp>
#include <cute/atom/mma_traits_sm100.hpp>
#include <cute/tensor.hpp>

#include "block_runner.h"
#include "core/device_instructions.h"
#include "hostgpu/tcgen05.h"

namespace {

using namespace cute;
namespace tc = hostgpu::tcgen05;

struct SharedCase {
  uint32_t address;
  uint32_t group_stride;
};

TEST(Tcgen05DescriptorTest, SharedDescriptorHasTheDocumentedFieldsAndCutesBits) {
  const SharedCase cases[] = {{0, 1024}, {32, 1024}, {1024 + 96, 1024}, {0x8000, 2048}, {0x38000 + 64, 1024}};
  for (const SharedCase& c : cases) {
    const uint64_t ours = device_instructions::umma_descriptor_k_major_sw128(c.address, c.group_stride);
    const tc::SharedDescriptor d = tc::decode_shared_descriptor(ours);
    EXPECT_EQ(d.start_address, c.address);
    EXPECT_EQ(d.leading_byte_offset, 16u);  // unused by swizzled K-major layouts
    EXPECT_EQ(d.stride_byte_offset, c.group_stride);
    EXPECT_EQ(d.fixed_constant, 1u);
    EXPECT_EQ(d.base_offset, 0u);
    EXPECT_EQ(d.leading_mode, 0u);
    EXPECT_EQ(d.swizzle, 2u);

    UMMA::SmemDescriptor cute_descriptor;
    cute_descriptor.start_address_ = static_cast<uint16_t>(c.address >> 4);
    cute_descriptor.leading_byte_offset_ = 1;
    cute_descriptor.stride_byte_offset_ = static_cast<uint16_t>(c.group_stride >> 4);
    cute_descriptor.version_ = 1;
    cute_descriptor.base_offset_ = 0;
    cute_descriptor.lbo_mode_ = 0;
    cute_descriptor.layout_type_ = static_cast<uint8_t>(UMMA::LayoutType::SWIZZLE_128B);
    EXPECT_EQ(ours, static_cast<uint64_t>(cute_descriptor)) << "address " << c.address;
  }
}

struct InstructionCase {
  const char* name;
  uint32_t ours;
  uint32_t cute;
  uint32_t documented;  // assembled by hand from the ISA's table
  uint32_t m, n, d_type, a_type;
};

TEST(Tcgen05DescriptorTest, InstructionDescriptorsMatchTheTableAndCute) {
  using UMMA::Major;
  const InstructionCase cases[] = {
      {"i8 256x256", device_instructions::umma_instruction_s8(256, 256),
       uint32_t(UMMA::make_instr_desc<int8_t, int8_t, int32_t, 256, 256, Major::K, Major::K>()), 0x104004A0u, 256,
       256, 2, 1},
      {"i8 256x128", device_instructions::umma_instruction_s8(256, 128),
       uint32_t(UMMA::make_instr_desc<int8_t, int8_t, int32_t, 256, 128, Major::K, Major::K>()), 0x102004A0u, 256,
       128, 2, 1},
      {"bf16 256x128", device_instructions::umma_instruction_bf16(256, 128),
       uint32_t(UMMA::make_instr_desc<bfloat16_t, bfloat16_t, float, 256, 128, Major::K, Major::K>()), 0x10200490u,
       256, 128, 1, 1},
      {"bf16 256x256", device_instructions::umma_instruction_bf16(256, 256),
       uint32_t(UMMA::make_instr_desc<bfloat16_t, bfloat16_t, float, 256, 256, Major::K, Major::K>()), 0x10400490u,
       256, 256, 1, 1},
  };
  for (const InstructionCase& c : cases) {
    EXPECT_EQ(c.ours, c.cute) << c.name;
    EXPECT_EQ(c.ours, c.documented) << c.name;
    const tc::InstructionDescriptor d = tc::decode_instruction_descriptor(c.ours);
    EXPECT_EQ(d.m, c.m) << c.name;
    EXPECT_EQ(d.n, c.n) << c.name;
    EXPECT_EQ(d.d_type, c.d_type) << c.name;
    EXPECT_EQ(d.a_type, c.a_type) << c.name;
    EXPECT_EQ(d.b_type, c.a_type) << c.name;
    EXPECT_EQ(d.sparse | d.saturate | d.transpose_a | d.transpose_b | d.negate_a | d.negate_b | d.max_shift, 0u)
        << c.name;
  }
}

// The int8 stage layout of the kernels: Swizzle<3, 4, 3> over
// ((128, 32), 1, 4) : ((128, 1), 0, 32), K blocks of 32 bytes.
using StageLayoutI8 =
    decltype(composition(Swizzle<3, 4, 3>{}, Layout<Shape<Shape<_128, _32>, _1, _4>, Stride<Stride<_128, _1>, _0, _32>>{}));

TEST(Tcgen05DescriptorTest, SwizzledOffsetsAreCutesKMajorLayout) {
  StageLayoutI8 layout;
  for (int kb = 0; kb < 4; ++kb) {
    const tc::SharedDescriptor d =
        tc::decode_shared_descriptor(device_instructions::umma_descriptor_k_major_sw128(32 * kb, 1024));
    for (int row = 0; row < 128; ++row) {
      for (int k = 0; k < 32; ++k) {
        ASSERT_EQ(tc::k_major_swizzled_offset(d, row, k), uint32_t(layout(make_coord(row, k), 0, kb)))
            << "row " << row << " k " << k << " block " << kb;
      }
    }
  }
}

// ---- the pair MMA -----------------------------------------------------------

constexpr uint32_t kWindow = 64 * 1024;
constexpr uint32_t kOffsetB = 16384;

struct Cta {
  alignas(1024) unsigned char shared[kWindow];
  hostgpu::TensorMemory tmem;
  Cta() {
    std::memset(shared, 0, sizeof(shared));
    std::memset(tmem.cells, 0xa5, sizeof(tmem.cells));  // stale contents an overwrite must ignore
    tmem.allocated_slices = 0xffffu;
  }
  tc::PairHalf half() { return tc::PairHalf{shared, kWindow, &tmem}; }
};

// Writes element `value` (of `bytes` bytes) of K-major row `row`, K byte
// `k_byte` (0 to 127) where the 128-byte swizzle puts it.
void put(Cta& cta, uint32_t base, int row, int k_byte, const void* value, int bytes) {
  StageLayoutI8 layout;
  const int offset = layout(make_coord(row % 128, k_byte % 32), 0, k_byte / 32) + (row / 128) * 16384;
  std::memcpy(cta.shared + base + offset, value, bytes);
}

uint16_t bf16_bits(int value) {
  const float f = static_cast<float>(value);
  uint32_t w;
  std::memcpy(&w, &f, 4);
  return static_cast<uint16_t>(w >> 16);  // exact: |value| <= 128
}

struct PairCase {
  const char* name;
  tc::MmaKind kind;
  int n;
  int fill;  // 0 random, 1 all -128, 2 all 127 x -128
};

class Tcgen05PairMmaTest : public ::testing::TestWithParam<PairCase> {};

// K = 128 bytes of each row in four instructions (the first overwrites); the
// result in each CTA's tensor memory is checked against the CPU product,
// placed as CuTe's 2x1SM traits place A, B and C on the two CTAs.
TEST_P(Tcgen05PairMmaTest, ProductLandsInBothCtasTensorMemory) {
  const PairCase c = GetParam();
  const int m = 256;
  const int elem = c.kind == tc::MmaKind::i8 ? 1 : 2;
  const int k = 128 / elem;  // elements per row held in one stage
  std::vector<int> a(m * k), b(c.n * k);
  std::mt19937 rng(7);
  for (int i = 0; i < m * k; ++i) a[i] = c.fill == 0 ? int(rng() % 256) - 128 : (c.fill == 1 ? -128 : 127);
  for (int i = 0; i < c.n * k; ++i) b[i] = c.fill == 0 ? int(rng() % 256) - 128 : -128;

  // CuTe's statement of the pair: CTA v holds A rows v·M/2.., B rows v·N/2..
  // and C rows v·M/2.. (all N columns).
  using Traits = MMA_Traits<SM100_MMA_S8_2x1SM_SS<int8_t, int8_t, int32_t, 256, 256, UMMA::Major::K, UMMA::Major::K>>;
  static_assert(decltype(size<0>(typename Traits::ALayout{}))::value == 2, "two CTAs");
  auto cta_of_a_row = [](int row) { return row / 128; };
  auto cta_of_b_row = [&](int row) { return row / (c.n / 2); };
  EXPECT_EQ(typename Traits::ALayout{}(1, make_coord(0, 0)), 128);  // CTA 1 starts at row M/2
  EXPECT_EQ(typename Traits::CLayout{}(1, make_coord(0, 0)), 128);

  auto* ctas = new Cta[2];
  for (int r = 0; r < m; ++r) {
    for (int e = 0; e < k; ++e) {
      Cta& cta = ctas[cta_of_a_row(r)];
      if (elem == 1) {
        const int8_t v = static_cast<int8_t>(a[r * k + e]);
        put(cta, 0, r % 128, e, &v, 1);
      } else {
        const uint16_t v = bf16_bits(a[r * k + e]);
        put(cta, 0, r % 128, 2 * e, &v, 2);
      }
    }
  }
  for (int j = 0; j < c.n; ++j) {
    for (int e = 0; e < k; ++e) {
      Cta& cta = ctas[cta_of_b_row(j)];
      if (elem == 1) {
        const int8_t v = static_cast<int8_t>(b[j * k + e]);
        put(cta, kOffsetB, j % (c.n / 2), e, &v, 1);
      } else {
        const uint16_t v = bf16_bits(b[j * k + e]);
        put(cta, kOffsetB, j % (c.n / 2), 2 * e, &v, 2);
      }
    }
  }
  const uint32_t d_column = 256 - (c.n == 256 ? 256 : 128);  // N = 128 lands in columns 128..255
  const uint32_t instruction = c.kind == tc::MmaKind::i8 ? device_instructions::umma_instruction_s8(256, c.n)
                                                         : device_instructions::umma_instruction_bf16(256, c.n);
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        for (int kb = 0; kb < 4; ++kb) {
                          tc::mma_pair(c.kind, ctas[0].half(), ctas[1].half(), d_column,
                                       device_instructions::umma_descriptor_k_major_sw128(32 * kb, 1024),
                                       device_instructions::umma_descriptor_k_major_sw128(kOffsetB + 32 * kb, 1024),
                                       instruction, kb > 0);
                        }
                      }),
            cudaSuccess)
      << last_fault();
  for (int r = 0; r < m; ++r) {
    for (int j = 0; j < c.n; ++j) {
      int64_t sum = 0;
      for (int e = 0; e < k; ++e) sum += int64_t{a[r * k + e]} * b[j * k + e];
      const uint32_t cell = ctas[r / 128].tmem.cells[r % 128][d_column + j];
      if (c.kind == tc::MmaKind::i8) {
        ASSERT_EQ(static_cast<int32_t>(cell), sum) << c.name << " row " << r << " column " << j;
      } else {
        float f;
        std::memcpy(&f, &cell, 4);
        ASSERT_EQ(f, static_cast<float>(sum)) << c.name << " row " << r << " column " << j;
      }
    }
  }
  delete[] ctas;
}

INSTANTIATE_TEST_SUITE_P(Cases, Tcgen05PairMmaTest,
                         ::testing::Values(PairCase{"i8_n256_random", tc::MmaKind::i8, 256, 0},
                                           PairCase{"i8_n128_random", tc::MmaKind::i8, 128, 0},
                                           PairCase{"i8_n256_most_negative", tc::MmaKind::i8, 256, 1},
                                           PairCase{"i8_n256_extremes", tc::MmaKind::i8, 256, 2},
                                           PairCase{"bf16_n128_random", tc::MmaKind::f16, 128, 0},
                                           PairCase{"bf16_n256_random", tc::MmaKind::f16, 256, 0},
                                           PairCase{"bf16_n128_extremes", tc::MmaKind::f16, 128, 2}),
                         [](const ::testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

struct RefusedCase {
  const char* name;
  uint64_t a;
  uint32_t instruction;
  uint32_t allocated;
  const char* fault;
};

TEST(Tcgen05PairMmaTest, RefusesWhatIsNotEmulatedOrForbidden) {
  const uint64_t good = device_instructions::umma_descriptor_k_major_sw128(0, 1024);
  const uint32_t s8 = device_instructions::umma_instruction_s8(256, 256);
  const RefusedCase cases[] = {
      {"no swizzle", good & ~(uint64_t{7} << 61), s8, 0xffff, "128-byte swizzle"},
      {"no fixed constant", good & ~(uint64_t{7} << 46), s8, 0xffff, "0b001"},
      {"base offset", good | (uint64_t{1} << 49), s8, 0xffff, "base offset"},
      {"M 128", good, device_instructions::umma_instruction_s8(128, 256), 0xffff, "M = 256"},
      {"saturate", good, s8 | (1u << 3), 0xffff, "saturation"},
      {"transposed A", good, s8 | (1u << 15), 0xffff, "K-major"},
      {"f32 into i8", good, device_instructions::umma_instruction_bf16(256, 256), 0xffff, "s32"},
      {"columns not allocated", good, s8, 0x007f, "not allocated"},
  };
  auto* ctas = new Cta[2];
  for (const RefusedCase& c : cases) {
    ctas[0].tmem.allocated_slices = c.allocated;
    ctas[1].tmem.allocated_slices = c.allocated;
    EXPECT_EQ(run_block(dim3(1),
                        [&] {
                          tc::mma_pair(tc::MmaKind::i8, ctas[0].half(), ctas[1].half(), 0, c.a, good, c.instruction,
                                       false);
                        }),
              cudaErrorLaunchFailure)
        << c.name;
    EXPECT_NE(last_fault().find(c.fault), std::string::npos) << c.name << ": " << last_fault();
  }
  delete[] ctas;
}

TEST(Tcgen05PairMmaTest, APairFormNeedsItsPeerResident) {
  EXPECT_EQ(run_block(dim3(32),
                      [] {
                        if (device_instructions::elect_one_sync()) {
                          device_instructions::umma_pair_s8(0, device_instructions::umma_descriptor_k_major_sw128(0, 1024),
                                                            device_instructions::umma_descriptor_k_major_sw128(0, 1024),
                                                            device_instructions::umma_instruction_s8(256, 256), false);
                        }
                      },
                      4096),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("not resident in a cluster"), std::string::npos) << last_fault();
}

// ---- tensor memory ------------------------------------------------------------

TEST(Tcgen05TensorMemoryTest, AllocationsTakeTheFirstFreeAlignedColumns) {
  uint32_t got[4] = {};
  ASSERT_EQ(run_block(dim3(128),
                      [&] {
                        uint32_t* slot = hostgpu::dynamic_shared<uint32_t>();
                        if (threadIdx.x / 32 == 1) {
                          device_instructions::tmem_alloc_pair(slot, 256);
                          if (threadIdx.x == 32) got[0] = *slot;
                          device_instructions::tmem_alloc_pair(slot, 128);
                          if (threadIdx.x == 32) got[1] = *slot;
                          device_instructions::tmem_alloc_pair(slot, 32);
                          if (threadIdx.x == 32) got[2] = *slot;
                          device_instructions::tmem_dealloc_pair(got[0], 256);
                          device_instructions::tmem_alloc_pair(slot, 64);
                          if (threadIdx.x == 32) got[3] = *slot;
                          device_instructions::tmem_dealloc_pair(got[1], 128);
                          device_instructions::tmem_dealloc_pair(got[2], 32);
                          device_instructions::tmem_dealloc_pair(got[3], 64);
                        }
                      },
                      64),
            cudaSuccess)
      << last_fault();
  EXPECT_EQ(got[0], 0u);
  EXPECT_EQ(got[1], 256u);
  EXPECT_EQ(got[2], 384u);
  EXPECT_EQ(got[3], 0u);
}

struct AllocationFault {
  const char* name;
  int scenario;
  const char* fault;
};

TEST(Tcgen05TensorMemoryTest, MisuseFaults) {
  const AllocationFault cases[] = {
      {"not a power of two", 0, "power of two"},
      {"full", 1, "no free"},
      {"after relinquishing", 2, "relinquish"},
      {"free of columns not held", 3, "not an allocated range"},
  };
  for (const AllocationFault& c : cases) {
    EXPECT_EQ(run_block(dim3(32),
                        [&] {
                          uint32_t* slot = hostgpu::dynamic_shared<uint32_t>();
                          using namespace device_instructions;
                          switch (c.scenario) {
                            case 0: tmem_alloc_pair(slot, 48); break;
                            case 1: tmem_alloc_pair(slot, 512); tmem_alloc_pair(slot, 32); break;
                            case 2: tmem_relinquish_alloc_permit_pair(); tmem_alloc_pair(slot, 32); break;
                            case 3: tmem_alloc_pair(slot, 64); tmem_dealloc_pair(64, 64); break;
                          }
                        },
                        64),
              cudaErrorLaunchFailure)
        << c.name;
    EXPECT_NE(last_fault().find(c.fault), std::string::npos) << c.name << ": " << last_fault();
  }
}

// 32x32b: thread i of warp w moves lane 32·w + i, 32 consecutive columns.
TEST(Tcgen05TensorMemoryTest, LoadsAndStoresMoveOneLanePerThread) {
  std::vector<uint32_t> seen(128 * 32, 0);
  std::vector<uint32_t> cells(128 * 32, 0);
  ASSERT_EQ(run_block(dim3(128),
                      [&] {
                        using namespace device_instructions;
                        uint32_t* slot = hostgpu::dynamic_shared<uint32_t>();
                        const unsigned t = threadIdx.x;
                        const unsigned warp = t / 32;
                        if (warp == 0) tmem_alloc_pair(slot, 64);
                        tcgen05_fence_before_thread_sync();
                        __syncthreads();
                        tcgen05_fence_after_thread_sync();
                        const uint32_t base = *slot + tensor_memory_address(32 * warp, 32);
                        uint32_t out[32];
                        for (int i = 0; i < 32; ++i) out[i] = (t << 8) | static_cast<uint32_t>(i);
                        tmem_store_32x32b_x32(base, out);
                        tmem_wait_st();
                        uint32_t in[32];
                        tmem_load_32x32b_x32(base, in);
                        tmem_wait_ld();
                        for (int i = 0; i < 32; ++i) seen[t * 32 + i] = in[i];
                        const hostgpu::TensorMemory& tm = hostgpu::detail::block_tensor_memory();
                        for (int i = 0; i < 32; ++i) cells[t * 32 + i] = tm.cells[t][32 + i];
                        tcgen05_fence_before_thread_sync();  // the loads, before warp 0 frees the columns
                        __syncthreads();
                        if (warp == 0) tmem_dealloc_pair(*slot, 64);
                      },
                      64),
            cudaSuccess)
      << last_fault();
  for (uint32_t t = 0; t < 128; ++t) {
    for (uint32_t i = 0; i < 32; ++i) {
      EXPECT_EQ(seen[t * 32 + i], (t << 8) | i);
      EXPECT_EQ(cells[t * 32 + i], (t << 8) | i) << "lane " << t << " column " << 32 + i;
    }
  }
}

// CuTe's SM100_TMEM_LOAD_32dp32b32x traits, in bits: thread t's bit v is
// reference element t·1024 + v, which ValID places at tensor-memory bit
// (v, lane t). Each register of each thread must load that cell.
TEST(Tcgen05TensorMemoryTest, LoadShapeIsCutes32dp32b32x) {
  using Traits = Copy_Traits<SM100_TMEM_LOAD_32dp32b32x>;
  std::vector<uint32_t> loaded(32 * 32, 0);
  ASSERT_EQ(run_block(dim3(32),
                      [&] {
                        using namespace device_instructions;
                        uint32_t* slot = hostgpu::dynamic_shared<uint32_t>();
                        tmem_alloc_pair(slot, 32);
                        hostgpu::TensorMemory& tm = hostgpu::detail::block_tensor_memory();
                        __syncwarp();
                        if (threadIdx.x == 0) {
                          for (uint32_t lane = 0; lane < 32; ++lane) {
                            for (uint32_t column = 0; column < 32; ++column) tm.cells[lane][column] = lane << 16 | column;
                          }
                        }
                        __syncwarp();
                        uint32_t r[32];
                        tmem_load_32x32b_x32(*slot, r);
                        tmem_wait_ld();
                        for (int j = 0; j < 32; ++j) loaded[threadIdx.x * 32 + j] = r[j];
                        tmem_dealloc_pair(*slot, 32);
                      },
                      64),
            cudaSuccess)
      << last_fault();
  for (int t = 0; t < 32; ++t) {
    for (int j = 0; j < 32; ++j) {
      const int reference = typename Traits::DstLayout{}(t, 32 * j);
      const int bit_address = typename Traits::ValID{}(reference);
      const uint32_t lane = static_cast<uint32_t>(bit_address) >> 21;
      const uint32_t column = (static_cast<uint32_t>(bit_address) & ((1u << 21) - 1)) / 32;
      EXPECT_EQ(loaded[t * 32 + j], lane << 16 | column) << "thread " << t << " register " << j;
    }
  }
}

TEST(Tcgen05TensorMemoryTest, AWarpReachesOnlyItsQuarterOfTheLanes) {
  EXPECT_EQ(run_block(dim3(64),
                      [] {
                        using namespace device_instructions;
                        uint32_t* slot = hostgpu::dynamic_shared<uint32_t>();
                        if (threadIdx.x < 32) tmem_alloc_pair(slot, 32);
                        __syncthreads();
                        if (threadIdx.x >= 32) {
                          uint32_t in[32];
                          tmem_load_32x32b_x32(*slot, in);  // warp 1 at lane 0
                        }
                      },
                      64),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("reaches only lanes 32 to 63"), std::string::npos) << last_fault();
}

// ---- elect.sync and commit ----------------------------------------------------

TEST(Tcgen05Test, ElectPicksTheLowestLaneOfEachWarp) {
  std::vector<int> elected(96, 0);
  ASSERT_EQ(run_block(dim3(96), [&] { elected[threadIdx.x] = device_instructions::elect_one_sync() ? 1 : 0; }),
            cudaSuccess)
      << last_fault();
  for (int t = 0; t < 96; ++t) EXPECT_EQ(elected[t], t % 32 == 0 ? 1 : 0) << t;
}

TEST(Tcgen05Test, CommitArrivesOnTheBarrierOfEachNamedCta) {
  bool before = true;
  bool after = false;
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        using namespace device_instructions;
                        uint64_t* barrier = hostgpu::dynamic_shared<uint64_t>();
                        mbarrier_init(barrier, 1);
                        before = mbarrier_try_wait_parity(barrier, 0);
                        umma_commit_pair_multicast(barrier, 0x1);
                        after = mbarrier_try_wait_parity(barrier, 0);
                      },
                      64),
            cudaSuccess)
      << last_fault();
  EXPECT_FALSE(before);
  EXPECT_TRUE(after);

  EXPECT_EQ(run_block(dim3(1),
                      [] {
                        uint64_t* barrier = hostgpu::dynamic_shared<uint64_t>();
                        device_instructions::mbarrier_init(barrier, 1);
                        device_instructions::umma_commit_pair_multicast(barrier, 0x3);
                      },
                      64),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("rank 1 is not in the cluster"), std::string::npos) << last_fault();
}

}  // namespace
