// Small kernels, each with one fault that a kind host device hides and a GPU
// does not: each is caught under the hostile settings and passes once mended.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/proxy_fence.h"
#include "hostgpu/executor.h"
#include "fixture_runner.h"

namespace {

using namespace device_instructions;

constexpr unsigned kThreads = 128;

// A lower thread writes what the next one reads.
__global__ void neighbour_kernel(bool mended, int* out) {
  int* staged = korvath_dynamic_shared<int>();
  staged[threadIdx.x] = static_cast<int>(threadIdx.x) + 1;
  if (mended) __syncthreads();
  out[threadIdx.x] = threadIdx.x == 0 ? 0 : staged[threadIdx.x - 1];
}

// Lane 0 of each warp publishes a value for its warp.
__global__ void warp_publish_kernel(bool mended, int* out) {
  __shared__ int published[kThreads / 32];
  const unsigned warp = threadIdx.x / 32;
  if (threadIdx.x % 32 == 0) published[warp] = 100 + static_cast<int>(warp);
  if (mended) __syncwarp();
  out[threadIdx.x] = published[warp];
}

// Thread 0 fills a stage by bulk copy; the others read it after a block
// barrier, but without waiting for the copy's barrier phase.
__global__ void early_reader_kernel(bool mended, const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>();
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
    mbarrier_arrive_expect_tx(&full, kThreads);
    tma_load_2d(stage, map, 0, 0, &full);
  }
  __syncthreads();
  if (mended) mbarrier_wait_parity(&full, 0);
  out[threadIdx.x] = stage[threadIdx.x];
}

// Block 0 sets a value that every block then reads from static shared memory.
__global__ void carried_kernel(bool mended, int* out) {
  __shared__ int setting;
  if (threadIdx.x == 0 && (mended || blockIdx.x == 0)) setting = 42;
  __syncthreads();
  if (threadIdx.x == 0) out[blockIdx.x] = setting;
}

// Eight lanes sum their values, but the butterfly starts 16 lanes apart, where
// no lane of the mask is.
__global__ void partial_sum_kernel(bool mended, int* out) {
  if (threadIdx.x >= 8) return;
  unsigned value = threadIdx.x * 3 + 1;  // unsigned: poison added in wraps around
  for (int offset = mended ? 4 : 16; offset > 0; offset /= 2) value += __shfl_xor_sync(0xffu, value, offset);
  out[threadIdx.x] = static_cast<int>(value);
}

// The threads mark a stage with ordinary stores, then thread 0 refills it by
// bulk copy.
__global__ void refill_kernel(bool mended, const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>();
  stage[threadIdx.x] = 0xFF;
  if (mended) fence_proxy_async_shared();
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
  }
  __syncthreads();
  if (threadIdx.x == 0) {
    mbarrier_arrive_expect_tx(&full, kThreads);
    tma_load_2d(stage, map, 0, 0, &full);
  }
  mbarrier_wait_parity(&full, 0);
  out[threadIdx.x] = stage[threadIdx.x];
}

// Thread 0 initialises the copy's barrier, a thread fences the
// initialisation for the async proxy (the bulk copy unit), thread 0 copies
// a tile. The fence counts only for the barriers its own thread initialised.
enum class InitFence { none, mbarrier_init, proxy_async };

__global__ void init_fence_kernel(InitFence fence, unsigned fencer, const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>();
  if (threadIdx.x == 0) mbarrier_init(&full, 1);
  __syncthreads();
  if (threadIdx.x == fencer && fence == InitFence::mbarrier_init) mbarrier_init_fence();
  if (threadIdx.x == fencer && fence == InitFence::proxy_async) fence_proxy_async_shared();
  __syncthreads();
  if (threadIdx.x == 0) {
    mbarrier_arrive_expect_tx(&full, kThreads);
    tma_load_2d(stage, map, 0, 0, &full);
  }
  mbarrier_wait_parity(&full, 0);
  out[threadIdx.x] = stage[threadIdx.x];
}

// The threads fill both operand tiles with ordinary stores, then the warp
// group multiplies them: the tensor core reads its operands through the
// async proxy.
constexpr uint32_t kTileA = 8 * 1024;               // 64 rows of 128 bytes, K-major, 128-byte swizzle
constexpr uint32_t kOperandBytes = kTileA + 16 * 1024;  // and B's 128 rows

__global__ void generic_operand_kernel(bool mended, int* out) {
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  for (unsigned i = threadIdx.x; i < kOperandBytes; i += kThreads) tiles[i] = 1;
  if (mended) fence_proxy_async_shared();
  __syncthreads();
  uint32_t d[64];
  wgmma_fence();
  wgmma_m64n128k32_s8(d, gmma_descriptor_k_sw128(shared_address(tiles), 1024),
                      gmma_descriptor_k_sw128(shared_address(tiles + kTileA), 1024), false);
  wgmma_commit_group();
  wgmma_wait_group<0>();
  out[threadIdx.x] = static_cast<int>(d[0]);
}

// The same for the pair MMA: each CTA of the pair stores its half of A's 256
// rows and of B's 32, then CTA 0 multiplies.
constexpr uint32_t kPairTileA = 16 * 1024;                     // 128 of A's rows per CTA
constexpr uint32_t kPairOperandBytes = kPairTileA + 2 * 1024;  // and 16 of B's

struct PairState {
  uint64_t done;
  uint32_t tensor_memory;
};

__global__ void generic_pair_operand_kernel(bool mended, int* out) {
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  auto* state = reinterpret_cast<PairState*>(tiles + kPairOperandBytes);
  for (unsigned i = threadIdx.x; i < kPairOperandBytes; i += kThreads) tiles[i] = 1;
  if (mended) fence_proxy_async_shared();
  if (threadIdx.x == 0) {
    mbarrier_init(&state->done, 1);
    mbarrier_init_fence();
  }
  if (threadIdx.x < 32) tmem_alloc_pair(&state->tensor_memory, 32);
  tcgen05_fence_before_thread_sync();
  cluster_sync();
  tcgen05_fence_after_thread_sync();
  const uint32_t d = state->tensor_memory;
  if (cluster_block_rank() == 0 && threadIdx.x == 0) {
    umma_pair_s8(d, umma_descriptor_k_major_sw128(shared_window_address(tiles), 1024),
                 umma_descriptor_k_major_sw128(shared_window_address(tiles + kPairTileA), 1024),
                 umma_instruction_s8(256, 32), false);
    umma_commit_pair_multicast(&state->done, 0x3);
  }
  mbarrier_wait_parity(&state->done, 0);
  tcgen05_fence_after_thread_sync();
  uint32_t row[32];
  tmem_load_32x32b_x32(d + tensor_memory_address(32 * (threadIdx.x / 32), 0), row);
  tmem_wait_ld();
  out[blockIdx.x * kThreads + threadIdx.x] = static_cast<int>(row[0]);
  tcgen05_fence_before_thread_sync();
  cluster_sync();  // the peer is done with the pair's tensor memory
  if (threadIdx.x < 32) tmem_dealloc_pair(d, 32);
}

using fixtures::Fixture;
using fixtures::tile_bytes;

constexpr uint32_t kStaged = kThreads * sizeof(int);

// The tile's map, made once for the kernels that copy it.
const CUtensorMap* tile() {
  static const CUtensorMap map = fixtures::tile_map(kThreads);
  return &map;
}

// A row of init_fence_kernel: the faulty form fences as `fault` says, the
// mended one by the initialising thread.
Fixture unfenced_init(const char* fault, InitFence faulty, unsigned fencer, InitFence mended) {
  return {fault, dim3(1), dim3(kThreads),
          [=](bool m, int* o) { init_fence_kernel(m ? mended : faulty, m ? 0 : fencer, tile(), o); },
          [](unsigned t) { return static_cast<int>(tile_bytes()[t]); }, kThreads,
          "of block (0,0,0), whose initialisation by thread (0,0,0) was not fenced for the async proxy",
          kStaged, dim3(1), 0, {}, reinterpret_cast<const void*>(&init_fence_kernel)};
}

std::vector<Fixture> table() {
  const dim3 block(kThreads);
  return {
      unfenced_init("a bulk copy on a barrier whose initialisation no fence.mbarrier_init ordered",
                    InitFence::none, 0, InitFence::mbarrier_init),
      unfenced_init("a bulk copy on a barrier whose initialisation no fence.proxy.async ordered",
                    InitFence::none, 0, InitFence::proxy_async),
      unfenced_init("the initialisation fenced by a thread other than the initialising one",
                    InitFence::mbarrier_init, 32, InitFence::mbarrier_init),
      {"missing block barrier", dim3(1), block, [](bool m, int* o) { neighbour_kernel(m, o); },
       [](unsigned t) { return static_cast<int>(t); }, kThreads, nullptr, kStaged},
      {"missing warp sync", dim3(1), block, [](bool m, int* o) { warp_publish_kernel(m, o); },
       [](unsigned t) { return 100 + static_cast<int>(t / 32); }, kThreads, nullptr, kStaged},
      {"read before the copy's wait", dim3(1), block, [](bool m, int* o) { early_reader_kernel(m, tile(), o); },
       [](unsigned t) { return static_cast<int>(tile_bytes()[t]); }, kThreads, nullptr, kStaged, dim3(1), 0,
       {{"HOSTGPU_EARLY_COPIES", "0"}}},  // the lone copy would sometimes land at issue
      {"value carried in static shared memory", dim3(4), block, [](bool m, int* o) { carried_kernel(m, o); },
       [](unsigned) { return 42; }, 4, nullptr, kStaged},
      {"shuffle from lanes outside the mask", dim3(1), block, [](bool m, int* o) { partial_sum_kernel(m, o); },
       [](unsigned) { return 92; }, 8, nullptr, kStaged},
      {"generic stores then a wgmma operand read without the proxy fence", dim3(1), block,
       [](bool m, int* o) { generic_operand_kernel(m, o); }, [](unsigned) { return 32; }, kThreads,
       "a wgmma operand read", kOperandBytes},
      {"generic stores then a tcgen05.mma operand read without the proxy fence", dim3(2), block,
       [](bool m, int* o) { generic_pair_operand_kernel(m, o); }, [](unsigned) { return 32; }, 2 * kThreads,
       "a tcgen05.mma operand read", kPairOperandBytes + sizeof(PairState), dim3(2)},
      // Kept last: the fault-text test below launches it by name.
      {"generic stores then a bulk copy without the proxy fence", dim3(1), block,
       [](bool m, int* o) { refill_kernel(m, tile(), o); },
       [](unsigned t) { return static_cast<int>(tile_bytes()[t]); }, kThreads, "fence.proxy.async", kStaged},
  };
}

TEST(HostileFixtureTest, EachFaultIsCaughtUnderTheHostileSettings) {
  for (const Fixture& f : table()) fixtures::expect_caught(f);
}

TEST(HostileFixtureTest, EachMendedKernelPassesOrderedAndHostile) {
  for (const Fixture& f : table()) fixtures::expect_mended_passes(f);
}

TEST(HostileFixtureTest, TheProxyFaultNamesTheBlockTheStoringThreadAndTheAddress) {
  // The check is always on. A kernel's first launch learns that it uses the
  // async proxy; its later launches know each storing thread.
  Fixture f = table().back();
  f.kernel = reinterpret_cast<const void*>(&refill_kernel);
  fixtures::run(f, false, nullptr);
  const fixtures::Outcome o = fixtures::run(f, false, nullptr);
  ASSERT_EQ(o.result, cudaErrorLaunchFailure);
  EXPECT_NE(o.fault.find("kernel "), std::string::npos) << o.fault;
  EXPECT_NE(o.fault.find("block (0,0,0), thread (0,0,0): a bulk tensor copy at shared address 0x"), std::string::npos)
      << o.fault;
  EXPECT_NE(o.fault.find("after a generic store by thread (0,0,0)"), std::string::npos) << o.fault;
}

// Operands that only a bulk copy wrote are the async proxy's own: no fence.
__global__ void copied_operand_kernel(const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
  }
  __syncthreads();
  if (threadIdx.x == 0) {
    mbarrier_arrive_expect_tx(&full, kOperandBytes);
    tma_load_2d(tiles, map, 0, 0, &full);
  }
  mbarrier_wait_parity(&full, 0);
  uint32_t d[64];
  wgmma_fence();
  wgmma_m64n128k32_s8(d, gmma_descriptor_k_sw128(shared_address(tiles), 1024),
                      gmma_descriptor_k_sw128(shared_address(tiles + kTileA), 1024), false);
  wgmma_commit_group();
  wgmma_wait_group<0>();
  out[threadIdx.x] = static_cast<int>(d[0]);
}

TEST(HostileFixtureTest, OperandsOnlyABulkCopyWroteNeedNoFence) {
  // A's 64 rows then B's 128, 128 bytes each, in the 128-byte swizzle.
  static std::vector<unsigned char> ones(kOperandBytes, 1);
  CUtensorMap map;
  const cuuint64_t dims[2] = {128, kOperandBytes / 128};
  const cuuint64_t strides[1] = {128};
  const cuuint32_t box[2] = {128, kOperandBytes / 128};
  const cuuint32_t element_strides[2] = {1, 1};
  ASSERT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, ones.data(), dims, strides, box,
                                   element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
                                   CU_TENSOR_MAP_L2_PROMOTION_NONE, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  using fixtures::kSeeds;
  for (const char* seed : {static_cast<const char*>(nullptr), kSeeds[0], kSeeds[1], kSeeds[2]}) {
    if (seed != nullptr) setenv("HOSTGPU_HOSTILE", seed, 1);
    std::vector<int> out(kThreads, -1);
    hostgpu::GridLaunch launch;
    launch.grid = dim3(1);
    launch.block = dim3(kThreads);
    launch.dynamic_shared_bytes = kOperandBytes;
    const cudaError_t result = hostgpu::execute_grid(launch, [&] { copied_operand_kernel(&map, out.data()); });
    unsetenv("HOSTGPU_HOSTILE");
    EXPECT_EQ(result, cudaSuccess) << (seed ? seed : "none") << ": " << hostgpu::last_kernel_fault();
    for (unsigned t = 0; t < kThreads; ++t) ASSERT_EQ(out[t], 32) << (seed ? seed : "none") << ", thread " << t;
  }
}

}  // namespace
