// The Blackwell native backend: the 128 x 256 x 128 CuTe int8 tensor-core
// kernel of the sm120 backend (ldmatrix, mma.sync m16n8k32 on eight warps,
// the same per-candidate folds and epilogue), with both operand tiles loaded
// by bulk tensor copies (TMA) into 128-byte-swizzled two-stage shared tiles,
// counted on one shared-memory barrier per stage. The debug GEMM tile loads
// with cp.async. The unit also carries its instance of the shared slots.
//
// The tile, its candidates and the device bodies are shared with the sm120
// unit (blackwell_tile_mining.h).
#include "backends/blackwell_native_mining_kernel.h"

#include <cstdio>
#include <cstring>

#include "backends/blackwell_tile_mining.h"
#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "core/cuda_driver.h"
#include "core/instructions/cute_twins.h"
#include "tensor_hash/blake3_constants.h"

// A tensor map passed by value must stay in parameter space on the device.
#if defined(KORVATH_FLAVOUR_CUDA)
#define KORVATH_NATIVE_GRID_CONSTANT __grid_constant__
#else
#define KORVATH_NATIVE_GRID_CONSTANT
#endif

namespace vexal_blackwell_native_impl {

namespace {

using namespace cute;
using namespace blackwell_tile;

constexpr int kWarpTileN = 64;
constexpr int kTileBytes = 2 * (kStageBytesA + kStageBytesB);
// The stage barriers live in the 32 bytes past the tiles.
constexpr int kMiningSharedBytes = kTileBytes + 32;
static_assert(kTileBytes == 98304 && kMiningSharedBytes == 98336, "two stages and the barriers");
// One set of fold words: a second set's 1 KiB would not fit beside the
// tiles and the barriers, so the K tiles take two barriers each.
constexpr int kFoldSets = 1;

// The pattern of the 128-byte TMA swizzle: 16-byte units of each 128-byte
// row XORed with the row's index within its 1024 bytes.
using SwizzleAtom = decltype(composition(Swizzle<3, 4, 3>{},
                                         Layout<Shape<_8, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}));
using SharedLayoutA = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileM>, Int<kTileK>, _2>{}));
using SharedLayoutB = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileN>, Int<kTileK>, _2>{}));

}  // namespace

// One operand's bulk tensor copy: its tensor map (whose type carries the
// alignment the copy unit requires).
struct TmaCopyAtom {
  CUtensorMap map;
};

namespace {

// Thread 0 issues one bulk copy per operand and stage; every thread waits on
// the stage's barrier for the phase of that K tile.
struct TmaLoader {
  const CUtensorMap* map_a;
  const CUtensorMap* map_b;
  int8_t* shared;
  uint64_t* barriers;
  int tile_m;
  int tile_n;

  __device__ void start() {
    if (threadIdx.x == 0) {
      // The 128-byte swizzle follows address bits 4 to 9, as the shared
      // layouts do only from a 1024-byte boundary.
      if (reinterpret_cast<uintptr_t>(shared) % 1024 != 0) __trap();
      device_instructions::mbarrier_init(&barriers[0], 1);
      device_instructions::mbarrier_init(&barriers[1], 1);
      device_instructions::mbarrier_init_fence();
    }
    // The first tile is issued before the barrier so that no thread can wait
    // on a phase nobody has started yet.
    load(0, 0);
    __syncthreads();
  }
  __device__ void load(int k_tile, int stage) {
    if (threadIdx.x != 0) return;
    uint64_t* barrier = &barriers[stage];
    device_instructions::mbarrier_arrive_expect_tx(barrier, kStageBytesA + kStageBytesB);
    device_instructions::tma_load_2d(shared + stage * kStageBytesA, map_a, k_tile * kTileK,
                                     tile_m * kTileM, barrier);
    device_instructions::tma_load_2d(shared + 2 * kStageBytesA + stage * kStageBytesB, map_b,
                                     k_tile * kTileK, tile_n * kTileN, barrier);
  }
  __device__ void wait(int k_tile) {
    device_instructions::mbarrier_wait_parity(&barriers[k_tile & 1],
                                              static_cast<uint32_t>(k_tile >> 1) & 1u);
  }
};

}  // namespace

template <bool kJackpotDump, bool kSecond, int kRank128>
__global__ void __launch_bounds__(kThreads) headless_mine_kernel(
    ProblemShape shape, CtaTiler, const int8_t* a, OperandStride a_stride, SharedLayoutA,
    GlobalToShared, const KORVATH_NATIVE_GRID_CONSTANT TmaCopyAtom tma_a, SharedToRegisterA,
    const int8_t* b, OperandStride b_stride, SharedLayoutB, GlobalToShared,
    const KORVATH_NATIVE_GRID_CONSTANT TmaCopyAtom tma_b, SharedToRegisterB,
    HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target, const uint32_t* seed,
    TiledMma, int rank_argument, VexalHeadlessJackpotDumpEntry* entries, int* values,
    uint32_t* value_counts, int capacity, uint32_t* extra) {
  static_assert(!kSecond, "one variant per dump flag");
  static_assert(!(kJackpotDump && kRank128), "the dump runs the general kernel");
  (void)extra;
  const int rank = kRank128 ? 128 : rank_argument;
  blackwell_tile::mine_block<kJackpotDump, kFoldSets>(
      shape, rank, header, sync, target, seed, entries, values, value_counts, capacity,
      [&](int tile_m, int tile_n, auto& accumulators, auto&& contribute, auto&& collect) {
        const auto tma_loader = [&](auto&, auto&, auto&, auto&, int8_t* shared) {
          return TmaLoader{&tma_a.map, &tma_b.map, shared,
                           reinterpret_cast<uint64_t*>(shared + kTileBytes), tile_m, tile_n};
        };
        multiply_tile<kFoldSets, SharedLayoutA, SharedLayoutB>(shape, a, a_stride, b, b_stride,
                                                               tile_m, tile_n, accumulators,
                                                               tma_loader, contribute, collect);
      });
}

// The tile at the origin over all of k, each cell written once.
__global__ void __launch_bounds__(kThreads) debug_gemm_tile_kernel(
    ProblemShape shape, CtaTiler, const int8_t* a, OperandStride a_stride, SharedLayoutA,
    GlobalToShared, SharedToRegisterA, const int8_t* b, OperandStride b_stride, SharedLayoutB,
    GlobalToShared, SharedToRegisterB, int* product, int* counts, TiledMma) {
  blackwell_tile::debug_tile(shape, product, counts, [&](auto& accumulators) {
    multiply_tile<kFoldSets, SharedLayoutA, SharedLayoutB>(
        shape, a, a_stride, b, b_stride, 0, 0, accumulators, CpAsyncLoads{}, [](int, int) {},
        [](int, int) {});
  });
}

// The cells of each candidate thread, in its transcript's value order.
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int* meta, TiledMma) {
  blackwell_tile::dump_coords(rows, cols, meta);
}

namespace {

using TensorMapEncodeTiled = CUresult (*)(CUtensorMap*, CUtensorMapDataType, cuuint32_t, void*,
                                          const cuuint64_t*, const cuuint64_t*, const cuuint32_t*,
                                          const cuuint32_t*, CUtensorMapInterleave,
                                          CUtensorMapSwizzle, CUtensorMapL2promotion,
                                          CUtensorMapFloatOOBfill);

// The operand's map, looked up and encoded afresh for every launch. A failed
// encoding is reported here and leaves a zero map; the launch goes on.
TmaCopyAtom make_tma_atom(const int8_t* operand, int rows, int k, uint32_t box_rows) {
  TmaCopyAtom atom;
  std::memset(&atom, 0, sizeof(atom));
  const auto encode = reinterpret_cast<TensorMapEncodeTiled>(
      cuda_driver_entry_point("cuTensorMapEncodeTiled", nullptr));
  int result = 999;
  const cuuint64_t dims[2] = {static_cast<cuuint64_t>(k), static_cast<cuuint64_t>(rows)};
  const cuuint64_t strides[1] = {static_cast<cuuint64_t>(k)};
  const cuuint32_t box[2] = {kTileK, box_rows};
  const cuuint32_t element_strides[2] = {1, 1};
  if (encode != nullptr) {
    result = encode(&atom.map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2,
                    const_cast<void*>(static_cast<const void*>(operand)), dims, strides, box,
                    element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
                    CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE);
  }
  if (result != 0) {
    std::fprintf(stderr,
                 "TMA descriptor: uint8 rank 2 address %p dims (%d, %d) stride %d box (%u, %u) "
                 "swizzle 128B\nError: Failed to initialize the TMA descriptor %d\n",
                 static_cast<const void*>(operand), k, rows, k, static_cast<unsigned>(kTileK),
                 box_rows, result);
  }
  return atom;
}

// Both attributes before every launch; a failure is returned and nothing launched.
template <typename Kernel>
cudaError_t set_kernel_attributes(Kernel kernel, int shared_bytes) {
  const void* function = reinterpret_cast<const void*>(kernel);
  cudaError_t error =
      cudaFuncSetAttribute(function, cudaFuncAttributeMaxDynamicSharedMemorySize, shared_bytes);
  if (error != cudaSuccess) return error;
  return cudaFuncSetAttribute(function, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
}

bool mining_arguments_valid(const int8_t* noised_a, const int8_t* noised_b, int m, int n, int k,
                            int rank, HostSignalHeader* header, HostSignalSync* sync,
                            const uint32_t* target, const uint32_t* seed) {
  if (!noised_a || !noised_b || !header || !sync || !target || !seed) return false;
  if (m < 1 || n < 1 || k < 1 || rank < 1) return false;
  return m % kTileM == 0 && k % kTileK == 0 && rank % 128 == 0 && n % kTileN == 0;
}

template <bool kJackpotDump, int kRank128>
cudaError_t launch_mining(const int8_t* noised_a, const int8_t* noised_b, int m, int n, int k,
                          int rank, HostSignalHeader* header, HostSignalSync* sync,
                          const uint32_t* target, const uint32_t* seed,
                          VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                          uint32_t* value_counts, int capacity, uint32_t* extra,
                          cudaStream_t stream) {
  const TmaCopyAtom tma_a = make_tma_atom(noised_a, m, k, kTileM);
  const TmaCopyAtom tma_b = make_tma_atom(noised_b, n, k, kTileN);
  const auto kernel = headless_mine_kernel<kJackpotDump, false, kRank128>;
  const int64_t tiles_m = m / kTileM;
  const int64_t tiles_n = n / kTileN;
  const int64_t blocks = (tiles_m + 127) / 128 * 128 * tiles_n;
  if (blocks > INT32_MAX) return cudaErrorInvalidValue;
  const cudaError_t attributes = set_kernel_attributes(kernel, kMiningSharedBytes);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(kernel, dim3(static_cast<unsigned>(blocks), 1, 1), dim3(kThreads, 1, 1),
                kMiningSharedBytes, stream, ProblemShape{m, n, k}, CtaTiler{}, noised_a,
                OperandStride{k, _1{}}, SharedLayoutA{}, GlobalToShared{}, tma_a,
                SharedToRegisterA{}, noised_b, OperandStride{k, _1{}}, SharedLayoutB{},
                GlobalToShared{}, tma_b, SharedToRegisterB{}, header, sync, target, seed,
                TiledMma{}, kRank128 ? 128 : rank, entries, values, value_counts, capacity, extra);
  return cudaGetLastError();
}

}  // namespace

cudaError_t launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed, cudaStream_t stream) {
  return headless_slots::common_fill_int8(dst, count, seed, stream);
}

cudaError_t launch_generate_noise(int rank, int m, int n, int k, int8_t* a_left, int8_t* a_right,
                                  int8_t* b_right, int8_t* b_left, const uint8_t* seed_a,
                                  const uint8_t* seed_b, cudaStream_t stream) {
  return headless_slots::launch_generate_noise(rank, m, n, k, a_left, a_right, b_right, b_left,
                                               seed_a, seed_b, stream);
}

cudaError_t launch_apply_sparse_noise(const int8_t* x, const int8_t* left, const int8_t* right,
                                      int8_t* x_out, int16_t* index0, int16_t* index1, int rows,
                                      int k, int rank, cudaStream_t stream) {
  return headless_slots::common_apply_sparse_noise(x, left, right, x_out, index0, index1, rows, k,
                                                   rank, stream);
}

cudaError_t launch_headless_mine(const int8_t* noised_a, const int8_t* noised_b, int m, int n,
                                 int k, HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* extra, cudaStream_t stream) {
  if (!mining_arguments_valid(noised_a, noised_b, m, n, k, rank, header, sync, target, seed)) {
    return cudaErrorInvalidValue;
  }
  // The default rank has its own, separately compiled kernel.
  if (rank == 128) {
    return launch_mining<false, 1>(noised_a, noised_b, m, n, k, rank, header, sync, target, seed,
                                   nullptr, nullptr, nullptr, 0, extra, stream);
  }
  return launch_mining<false, 0>(noised_a, noised_b, m, n, k, rank, header, sync, target, seed,
                                 nullptr, nullptr, nullptr, 0, extra, stream);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream) {
  const cudaError_t noised = headless_slots::common_noise_both_operands(
      a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
      b_index1, m, n, k, rank, stream);
  if (noised != cudaSuccess) return noised;
  return launch_headless_mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, extra,
                              stream);
}

cudaError_t launch_noise_and_mine_dump(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                       const int8_t* b_left, const int8_t* a_right,
                                       const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                       int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                       int16_t* b_index1, int m, int n, int k, int rank,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed,
                                       VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                       uint32_t* value_counts, int capacity, cudaStream_t stream) {
  const cudaError_t noised = headless_slots::common_noise_both_operands(
      a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
      b_index1, m, n, k, rank, stream);
  if (noised != cudaSuccess) return noised;
  if (!mining_arguments_valid(noised_a, noised_b, m, n, k, rank, header, sync, target, seed)) {
    return cudaErrorInvalidValue;
  }
  if (!entries || !values || !value_counts || capacity < 1) return cudaErrorInvalidValue;
  return launch_mining<true, 0>(noised_a, noised_b, m, n, k, rank, header, sync, target, seed,
                                entries, values, value_counts, capacity, nullptr, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  if (!rows || !cols || !meta) return cudaErrorInvalidValue;
  launch_kernel(dump_headless_coords_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), 0, stream, rows,
                cols, meta, TiledMma{});
  return cudaGetLastError();
}

cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                   int32_t* counts, int m, int n, int k, cudaStream_t stream) {
  if (!a || !b || !product || !counts) return cudaErrorInvalidValue;
  if (m < kTileM || n < kTileN || k < 1 || k % kTileK != 0) return cudaErrorInvalidValue;
  const cudaError_t attributes = set_kernel_attributes(debug_gemm_tile_kernel, kTileBytes);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(debug_gemm_tile_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), kTileBytes, stream,
                ProblemShape{m, n, k}, CtaTiler{}, a, OperandStride{k, _1{}}, SharedLayoutA{},
                GlobalToShared{}, SharedToRegisterA{}, b, OperandStride{k, _1{}}, SharedLayoutB{},
                GlobalToShared{}, SharedToRegisterB{}, product, counts, TiledMma{});
  return cudaGetLastError();
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }
int32_t tile_m() { return kTileM; }
int32_t tile_n() { return kTileN; }
int32_t tile_k() { return kTileK; }
int32_t warp_tile_n() { return kWarpTileN; }

}  // namespace vexal_blackwell_native_impl
