// Warp-group MMA and register reallocation on the host device, checked
// against CuTe's own statement of them: the descriptor's bit fields
// (GmmaDescriptor), the K-major 128-byte-swizzle operand layout and its
// descriptor (make_gmma_desc), the accumulator layout (CLayout_64xN), and a
// CPU product of operands placed by CuTe's layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <cute/atom/mma_traits_sm90_gmma.hpp>
#include <cute/tensor.hpp>

#include "block_runner.h"
#include "core/device_instructions.h"
#include "core/instructions/proxy_fence.h"
#include "hostgpu/device_shared.h"

namespace {

using namespace cute;
namespace di = device_instructions;

using OperandLayout = decltype(tile_to_shape(GMMA::Layout_K_SW128_Atom<int8_t>{}, Shape<_128, _128>{}));

TEST(WgmmaTest, DescriptorFieldsAreCuteBitFields) {
  const uint64_t words[] = {0x0ull,
                            0xffffffffffffffffull,
                            0x4000004000010040ull,  // start 0x400, SBO 1024, 128-byte swizzle
                            0x8002000100020003ull,
                            0xc00e3fff3fff3fffull,
                            0x123456789abcdef0ull};
  for (const uint64_t word : words) {
    const GmmaDescriptor cute_desc(word);
    const di::GmmaDescriptorFields f = di::decode_gmma_descriptor(word);
    EXPECT_EQ(f.start_address, uint32_t{cute_desc.bitfield.start_address_} << 4) << std::hex << word;
    EXPECT_EQ(f.leading_byte_offset, uint32_t{cute_desc.bitfield.leading_byte_offset_} << 4) << std::hex << word;
    EXPECT_EQ(f.stride_byte_offset, uint32_t{cute_desc.bitfield.stride_byte_offset_} << 4) << std::hex << word;
    EXPECT_EQ(f.base_offset, uint32_t{cute_desc.bitfield.base_offset_}) << std::hex << word;
    EXPECT_EQ(f.swizzle, uint32_t{cute_desc.bitfield.layout_type_}) << std::hex << word;
  }
  EXPECT_EQ(uint32_t(GMMA::LayoutType::B128), 1u);
}

TEST(WgmmaTest, KMajorSwizzledDescriptorsAreCutesForEachKStep) {
  // CuTe's host build cannot read shared addresses: its descriptors start at
  // address 0 and its K steps advance from there.
  alignas(1024) static int8_t tile[128 * 128];
  const auto mma = make_tiled_mma(SM90_64x128x32_S32S8S8_SS_TN{});
  const auto thread = mma.get_slice(0);
  const auto a = make_tensor(make_smem_ptr(tile), tile_to_shape(GMMA::Layout_K_SW128_Atom<int8_t>{}, Shape<_64, _128>{}));
  const auto b = make_tensor(make_smem_ptr(tile), tile_to_shape(GMMA::Layout_K_SW128_Atom<int8_t>{}, Shape<_128, _128>{}));
  const auto fragment_a = thread.partition_fragment_A(a);
  const auto fragment_b = thread.partition_fragment_B(b);
  ASSERT_EQ(int(size<2>(fragment_a)), 4);
  ASSERT_EQ(int(size<2>(fragment_b)), 4);
  for (int kb = 0; kb < 4; ++kb) {
    EXPECT_EQ(di::gmma_descriptor_k_sw128(32 * kb, 1024), uint64_t(GmmaDescriptor(fragment_a(0, 0, kb)).desc_)) << kb;
    EXPECT_EQ(di::gmma_descriptor_k_sw128(32 * kb, 1024), uint64_t(GmmaDescriptor(fragment_b(0, 0, kb)).desc_)) << kb;
  }
  EXPECT_EQ(di::gmma_descriptor_k_sw128(0x2400, 1024), 0x4000004000010240ull);
}

TEST(WgmmaTest, OperandBytesLieWhereCutesSwizzledLayoutPutsThem) {
  // Every byte of a 128 x 128 stage, read as four K steps of 32 bytes.
  const OperandLayout layout{};
  for (int kb = 0; kb < 4; ++kb) {
    const di::GmmaDescriptorFields f = di::decode_gmma_descriptor(di::gmma_descriptor_k_sw128(32 * kb, 1024));
    for (int row = 0; row < 128; ++row) {
      for (int k = 0; k < 32; ++k) {
        ASSERT_EQ(di::host_wgmma::operand_address(f, row, k), uint32_t(layout(row, 32 * kb + k)))
            << "row " << row << " k " << 32 * kb + k;
      }
    }
  }
}

TEST(WgmmaTest, AccumulatorPlacesAreCutesCLayout) {
  const GMMA::CLayout_64xN<128> c{};
  for (int t = 0; t < 128; ++t) {
    for (int v = 0; v < 64; ++v) {
      const int index = c(t, v);  // column-major 64 x 128
      ASSERT_EQ(di::wgmma_accumulator_row(t, v), index % 64) << t << " " << v;
      ASSERT_EQ(di::wgmma_accumulator_col(t, v), index / 64) << t << " " << v;
    }
  }
}

struct Operands {
  std::vector<int8_t> a;  // rows x 128
  std::vector<int8_t> b;
};

// Places row-major operands in shared memory as CuTe's layout says.
void place(unsigned char* shared, const std::vector<int8_t>& rows, int count) {
  const OperandLayout layout{};
  for (int r = 0; r < count; ++r) {
    for (int k = 0; k < 128; ++k) shared[layout(r, k)] = static_cast<unsigned char>(rows[r * 128 + k]);
  }
}

// Warp group g multiplies A rows 0..63 by B rows 128 g .. 128 g + 127 over K 0..127.
std::vector<uint32_t> run_product(const Operands& o, int groups, bool reset_first) {
  std::vector<uint32_t> out(groups * 128 * 64, 0);
  const cudaError_t result = run_block(
      dim3(128 * groups),
      [&] {
        unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
        const int thread = static_cast<int>(threadIdx.x);
        if (thread == 0) {
          place(shared, o.a, 64);
          place(shared + 16384, o.b, 128 * groups);
          di::fence_proxy_async_shared();  // the tensor core reads them through the async proxy
        }
        __syncthreads();
        const int g = thread / 128;
        uint32_t d[64];
        for (int v = 0; v < 64; ++v) d[v] = 0x5a5a5a5au;  // dropped by a reset
        di::wgmma_fence();
        for (int kb = 0; kb < 4; ++kb) {
          const uint64_t da = di::gmma_descriptor_k_sw128(di::shared_address(shared) + 32 * kb, 1024);
          const uint64_t db =
              di::gmma_descriptor_k_sw128(di::shared_address(shared + 16384 + g * 16384) + 32 * kb, 1024);
          di::wgmma_m64n128k32_s8(d, da, db, kb > 0 || !reset_first);
        }
        di::wgmma_commit_group();
        di::wgmma_wait_group<0>();
        for (int v = 0; v < 64; ++v) out[thread * 64 + v] = d[v];
      },
      16384 * 3);
  EXPECT_EQ(result, cudaSuccess) << last_fault();
  return out;
}

TEST(WgmmaTest, ProductsMatchTheCpuAtCutesAccumulatorPlaces) {
  struct Case {
    const char* name;
    int8_t (*a)(int, int);
    int8_t (*b)(int, int);
    int groups;
  };
  const Case cases[] = {
      {"mixed signs", [](int r, int k) { return int8_t((r * 7 + k * 13) % 251 - 125); },
       [](int c, int k) { return int8_t((c * 11 + k * 5) % 241 - 120); }, 2},
      {"extremes", [](int, int) { return int8_t(-128); }, [](int, int) { return int8_t(-128); }, 1},
      {"one-hot rows", [](int r, int k) { return int8_t(k == r % 128 ? 1 : 0); },
       [](int c, int k) { return int8_t(k == (c * 3) % 128 ? c % 100 : 0); }, 1},
  };
  const GMMA::CLayout_64xN<128> c_layout{};
  for (const Case& c : cases) {
    Operands o;
    o.a.resize(64 * 128);
    o.b.resize(c.groups * 128 * 128);
    for (int r = 0; r < 64; ++r) for (int k = 0; k < 128; ++k) o.a[r * 128 + k] = c.a(r, k);
    for (int n = 0; n < c.groups * 128; ++n) for (int k = 0; k < 128; ++k) o.b[n * 128 + k] = c.b(n, k);
    const std::vector<uint32_t> d = run_product(o, c.groups, true);
    for (int t = 0; t < 128 * c.groups; ++t) {
      for (int v = 0; v < 64; ++v) {
        const int index = c_layout(t % 128, v);
        const int row = index % 64;
        const int col = 128 * (t / 128) + index / 64;
        uint32_t sum = 0;
        for (int k = 0; k < 128; ++k) sum += uint32_t(int32_t(o.a[row * 128 + k]) * o.b[col * 128 + k]);
        ASSERT_EQ(d[t * 64 + v], sum) << c.name << ": thread " << t << " register " << v;
      }
    }
  }
}

TEST(WgmmaTest, AccumulateAddsToTheRegisters) {
  Operands o;
  o.a.assign(64 * 128, 1);
  o.b.assign(128 * 128, 2);
  const std::vector<uint32_t> d = run_product(o, 1, false);
  for (uint32_t value : d) ASSERT_EQ(value, 0x5a5a5a5au + 128u * 2u);
}

TEST(WgmmaTest, MisuseFaults) {
  struct Case {
    const char* name;
    unsigned threads;
    uint64_t (*descriptor)(int thread);
    const char* fault;
  };
  const Case cases[] = {
      {"lanes disagree", 128, [](int t) { return di::gmma_descriptor_k_sw128(t == 5 ? 32 : 0, 1024); },
       "different descriptors"},
      {"no swizzle", 128, [](int) { return di::gmma_descriptor_k_sw128(0, 1024) & ~(uint64_t{3} << 62); },
       "128-byte swizzle"},
      {"partial warp group", 96, [](int) { return di::gmma_descriptor_k_sw128(0, 1024); }, "partial warp groups"},
  };
  for (const Case& c : cases) {
    const cudaError_t result = run_block(
        dim3(c.threads),
        [&] {
          uint32_t d[64] = {};
          const uint64_t desc = c.descriptor(static_cast<int>(threadIdx.x));
          di::wgmma_m64n128k32_s8(d, desc, desc, false);
        },
        16384 * 2);
    EXPECT_NE(result, cudaSuccess) << c.name;
    EXPECT_NE(last_fault().find(c.fault), std::string::npos) << c.name << ": " << last_fault();
  }
}

TEST(SetmaxnregTest, TheProducerGivesTheConsumersItsRegisters) {
  // 384 threads launch with 168 registers each; 40 + 2 x 232 fits the same pool.
  const cudaError_t result = run_block(dim3(384), [] {
    if (threadIdx.x < 128) {
      di::setmaxnreg_dec<40>();
    } else {
      di::setmaxnreg_inc<232>();
    }
  });
  EXPECT_EQ(result, cudaSuccess) << last_fault();
}

TEST(SetmaxnregTest, BreachesOfItsRulesFault) {
  struct Case {
    const char* name;
    void (*body)();
    const char* fault;
  };
  const Case cases[] = {
      {"inc below the current count", [] { di::setmaxnreg_inc<160>(); }, "setmaxnreg.inc to 160 registers from the warp's 168"},
      {"dec above the current count", [] { di::setmaxnreg_dec<200>(); }, "setmaxnreg.dec to 200 registers from the warp's 168"},
      {"count off the 8-grid", [] { di::host_setmaxnreg::adjust(true, 172); }, "multiple of 8 from 24 to 256"},
      {"lanes disagree", [] { di::host_setmaxnreg::adjust(false, threadIdx.x == 3 ? 32 : 40); }, "meets lane"},
      {"more than the pool holds", [] { di::setmaxnreg_inc<256>(); }, "no thread"},
  };
  for (const Case& c : cases) {
    const cudaError_t result = run_block(dim3(384), c.body);
    EXPECT_NE(result, cudaSuccess) << c.name;
    EXPECT_NE(last_fault().find(c.fault), std::string::npos) << c.name << ": " << last_fault();
  }
}

TEST(MbarrierWaitTest, AProducerAndAConsumerPassStagesThroughFullAndEmptyBarriers) {
  std::vector<int> seen;
  const cudaError_t result = run_block(dim3(64), [&] {
    __shared__ uint64_t full, empty;
    __shared__ int slot;
    if (threadIdx.x == 0) {
      di::mbarrier_init(&full, 1);
      di::mbarrier_init(&empty, 32);
    }
    __syncthreads();
    for (int i = 0; i < 5; ++i) {
      if (threadIdx.x == 0) {  // producer
        if (i > 0) di::mbarrier_wait_parity(&empty, static_cast<uint32_t>((i - 1) & 1));
        slot = 100 + i;
        di::mbarrier_arrive(&full);
      } else if (threadIdx.x >= 32) {  // a consuming warp
        di::mbarrier_wait_parity(&full, static_cast<uint32_t>(i & 1));
        if (threadIdx.x == 32) seen.push_back(slot);
        di::mbarrier_arrive(&empty);
      }
    }
  });
  EXPECT_EQ(result, cudaSuccess) << last_fault();
  EXPECT_EQ(seen, (std::vector<int>{100, 101, 102, 103, 104}));
}

TEST(MbarrierWaitTest, AWaitNoThreadCanCompleteFaults) {
  const cudaError_t result = run_block(dim3(32), [] {
    __shared__ uint64_t barrier;
    if (threadIdx.x == 0) di::mbarrier_init(&barrier, 33);
    __syncwarp();
    di::mbarrier_arrive(&barrier);
    di::mbarrier_wait_parity(&barrier, 0);
  });
  EXPECT_NE(result, cudaSuccess);
  EXPECT_NE(last_fault().find("no thread"), std::string::npos)
      << last_fault();
}

}  // namespace
