// The Blackwell native backend: the 128 x 256 x 128 CuTe int8 tensor-core
// kernel of the sm120 backend (ldmatrix, mma.sync m16n8k32 on eight warps,
// the same per-candidate folds and epilogue), with both operand tiles loaded
// by bulk tensor copies (TMA) into 128-byte-swizzled two-stage shared tiles,
// counted on one shared-memory barrier per stage. The debug GEMM tile loads
// with cp.async. The unit also carries its instance of the shared slots.
//
// Candidate c of a tile is rows 64·g + o and 64·g + o + 32, columns 64·q to
// 64·q + 63 (o = c mod 32, g = (c / 32) mod 2, q = c / 64); thread c keeps
// its transcript.
#include "backends/blackwell_native_mining_kernel.h"

#include <cstdio>
#include <cstring>

#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "core/cuda_driver.h"
#include "core/instructions/cute_twins.h"
#include "core/instructions/proxy_fence.h"
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

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 128;
constexpr int kWarpTileN = 64;
constexpr int kThreads = 256;
constexpr int kValuesPerThread = kTileM * kTileN / kThreads;
constexpr int kCandidateColumns = kValuesPerThread / 2;
constexpr int kStageBytesA = kTileM * kTileK;
constexpr int kStageBytesB = kTileN * kTileK;
constexpr int kTileBytes = 2 * (kStageBytesA + kStageBytesB);
// The stage barriers live in the 32 bytes past the tiles.
constexpr int kMiningSharedBytes = kTileBytes + 32;
static_assert(kTileBytes == 98304 && kMiningSharedBytes == 98336, "two stages and the barriers");

using ProblemShape = cute::tuple<int, int, int>;
using CtaTiler = Shape<Int<kTileM>, Int<kTileN>, Int<kTileK>>;
using OperandStride = cute::Stride<int, _1>;
// The pattern of the 128-byte TMA swizzle: 16-byte units of each 128-byte
// row XORed with the row's index within its 1024 bytes.
using SwizzleAtom = decltype(composition(Swizzle<3, 4, 3>{},
                                         Layout<Shape<_8, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}));
using SharedLayoutA = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileM>, Int<kTileK>, _2>{}));
using SharedLayoutB = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileN>, Int<kTileK>, _2>{}));
using GlobalToShared = decltype(make_tiled_copy(
    Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, int8_t>{},
    Layout<Shape<_32, _8>, Stride<_8, _1>>{}, Layout<Shape<_1, _16>>{}));
using SharedToRegisterA = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
using SharedToRegisterB = Copy_Atom<korvath_cute::SM75_U32x2_LDSM_N, int8_t>;
using TiledMma = decltype(make_tiled_mma(korvath_cute::SM80_16x8x32_S32S8S8S32_TN{},
                                         Layout<Shape<_2, _4, _1>>{}, Tile<_32, _32, _32>{}));

}  // namespace

// One operand's bulk tensor copy: its tensor map (whose type carries the
// alignment the copy unit requires).
struct TmaCopyAtom {
  CUtensorMap map;
};

namespace {

__host__ __device__ inline TilePosition candidate_position(int candidate, int v) {
  const int row = 64 * ((candidate / 32) % 2) + candidate % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (candidate / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

__device__ inline int candidate_of(int row, int col) {
  return (row / 64 + 2 * (col / kCandidateColumns)) * 32 + row % 32;
}

__device__ inline int candidate_slot(int row, int col) {
  return (row % 64) / 32 * kCandidateColumns + col % kCandidateColumns;
}

// cp.async loads of both tiles: 256 threads, 32 rows of 128 bytes per step.
template <class SourceA, class TargetA, class SourceB, class TargetB>
struct CpAsyncLoader {
  GlobalToShared copy_unit;
  SourceA from_a;
  TargetA to_a;
  SourceB from_b;
  TargetB to_b;

  __device__ void start() {
    load(0, 0);
  }
  __device__ void load(int k_tile, int stage) {
    copy(copy_unit, from_a(_, _, _, k_tile), to_a(_, _, _, stage));
    copy(copy_unit, from_b(_, _, _, k_tile), to_b(_, _, _, stage));
    korvath_cute::cp_async_fence();
  }
  __device__ void wait(int /*k_tile*/, bool more_in_flight) {
    if (more_in_flight) {
      korvath_cute::cp_async_wait<1>();
    } else {
      korvath_cute::cp_async_wait<0>();
    }
  }
  __device__ void release_stage() {}
};

template <class SourceA, class TargetA, class SourceB, class TargetB>
__device__ CpAsyncLoader<SourceA, TargetA, SourceB, TargetB> make_cp_async_loader(
    SourceA from_a, TargetA to_a, SourceB from_b, TargetB to_b) {
  return {GlobalToShared{}, from_a, to_a, from_b, to_b};
}

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
  __device__ void wait(int k_tile, bool /*more_in_flight*/) {
    device_instructions::mbarrier_wait_parity(&barriers[k_tile & 1],
                                              static_cast<uint32_t>(k_tile >> 1) & 1u);
  }
  // The stage was read (and maybe written) by the threads; the bulk copy that
  // refills it must come after those accesses.
  __device__ void release_stage() {
    device_instructions::fence_proxy_async_shared();
    __syncthreads();
  }
};

// The 128 x 256 product of tile (tile_m, tile_n) over all of k into the
// accumulators, two K tiles in flight. after_k_tile(k_tile, scratch) runs on
// every thread after each K tile, when the tile's stage is no longer read:
// scratch is that stage's first kStageBytesA bytes, and the callee must end
// with a barrier if it uses them.
template <class Accumulators, class LoaderFactory, class AfterKTile>
__device__ void multiply_tile(ProblemShape shape, const int8_t* a, OperandStride a_stride,
                              const int8_t* b, OperandStride b_stride, int tile_m, int tile_n,
                              Accumulators& accumulators, LoaderFactory&& make_loader,
                              AfterKTile&& after_k_tile) {
  const int thread = static_cast<int>(threadIdx.x);
  const int k = get<2>(shape);
  Tensor mA = make_tensor(make_gmem_ptr(a), make_shape(get<0>(shape), k), a_stride);
  Tensor mB = make_tensor(make_gmem_ptr(b), make_shape(get<1>(shape), k), b_stride);
  Tensor gA = local_tile(mA, make_shape(Int<kTileM>{}, Int<kTileK>{}), make_coord(tile_m, _));
  Tensor gB = local_tile(mB, make_shape(Int<kTileN>{}, Int<kTileK>{}), make_coord(tile_n, _));
  int8_t* shared = korvath_dynamic_shared<int8_t>();
  Tensor sA = make_tensor(make_smem_ptr(shared), SharedLayoutA{});
  Tensor sB = make_tensor(make_smem_ptr(shared + 2 * kStageBytesA), SharedLayoutB{});
  auto loader = make_loader(gA, sA, gB, sB, shared);

  TiledMma mma;
  auto mma_thread = mma.get_slice(thread);
  Tensor fragment_a = mma_thread.partition_fragment_A(sA(_, _, 0));
  Tensor fragment_b = mma_thread.partition_fragment_B(sB(_, _, 0));
  auto copy_a = make_tiled_copy_A(SharedToRegisterA{}, mma);
  auto copy_b = make_tiled_copy_B(SharedToRegisterB{}, mma);
  auto copy_a_thread = copy_a.get_slice(thread);
  auto copy_b_thread = copy_b.get_slice(thread);
  Tensor shared_a = copy_a_thread.partition_S(sA);
  Tensor shared_b = copy_b_thread.partition_S(sB);
  Tensor registers_a = copy_a_thread.retile_D(fragment_a);
  Tensor registers_b = copy_b_thread.retile_D(fragment_b);

  const int k_tiles = k / kTileK;
  loader.start();
  for (int k_tile = 0; k_tile < k_tiles; ++k_tile) {
    const int stage = k_tile & 1;
    const bool more = k_tile + 1 < k_tiles;
    if (more) loader.load(k_tile + 1, stage ^ 1);
    loader.wait(k_tile, more);
    __syncthreads();
    CUTE_UNROLL
    for (int k_block = 0; k_block < size<2>(fragment_a); ++k_block) {
      copy(copy_a, shared_a(_, _, k_block, stage), registers_a(_, _, k_block));
      copy(copy_b, shared_b(_, _, k_block, stage), registers_b(_, _, k_block));
      gemm(mma, fragment_a(_, _, k_block), fragment_b(_, _, k_block), accumulators);
    }
    // Nobody reads the stage any more; the next load into it comes after after_k_tile.
    __syncthreads();
    after_k_tile(k_tile, shared + stage * kStageBytesA);
    loader.release_stage();
  }
}

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
  const int m = get<0>(shape);
  const int k = get<2>(shape);
  // M tiles are counted in groups of 128; blocks past the last tile do nothing.
  const int tiles_m = m / kTileM;
  const int tiles_m_padded = (tiles_m + 127) / 128 * 128;
  const int tile_m = static_cast<int>(blockIdx.x) % tiles_m_padded;
  const int tile_n = static_cast<int>(blockIdx.x) / tiles_m_padded;
  if (tile_m >= tiles_m) return;
  const int thread = static_cast<int>(threadIdx.x);

  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(tiles_m);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = k;
  place.rank = rank;
  // The candidate's values live in other threads: the epilogue sees its fold
  // only (all a transcript takes of them) and the dump is written below.
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);
  const auto candidate_positions = [thread](int v) { return candidate_position(thread, v); };

  const bool dump = kJackpotDump && entries && values && value_counts && capacity > 0;
  const uint64_t steps = static_cast<uint64_t>(k / rank);
  const uint64_t first_candidate =
      (static_cast<uint64_t>(tiles_m) * tile_n + tile_m) * static_cast<uint64_t>(kThreads);
  uint32_t dump_state[16];
  for (int i = 0; i < 16; ++i) dump_state[i] = 0;

  TiledMma mma;
  auto mma_thread = mma.get_slice(thread);
  Tensor accumulators = partition_fragment_C(mma, Shape<Int<kTileM>, Int<kTileN>>{});
  Tensor coordinates = mma_thread.partition_C(make_identity_tensor(Shape<Int<kTileM>, Int<kTileN>>{}));
  // Atom values (4), M repeats (4), N repeats (8): values 2h and 2h + 1 are
  // neighbouring columns, M repeats 2g and 2g + 1 are rows 32 apart and N
  // repeats 2q and 2q + 1 columns 32 apart, so each (h, g, q) is one candidate's.
  static_assert(decltype(size<0>(accumulators))::value == 4 &&
                    decltype(size<1>(accumulators))::value == 4 &&
                    decltype(size<2>(accumulators))::value == 8,
                "accumulator fragment of the 2 x 4 warp layout");
  clear(accumulators);

  const auto tma_loader = [&](auto&, auto&, auto&, auto&, int8_t* shared) {
    return TmaLoader{&tma_a.map, &tma_b.map, shared,
                     reinterpret_cast<uint64_t*>(shared + kTileBytes), tile_m, tile_n};
  };
  multiply_tile(shape, a, a_stride, b, b_stride, tile_m, tile_n, accumulators, tma_loader,
                [&](int k_tile, int8_t* scratch) {
    const int k_pos = (k_tile + 1) * kTileK;
    if (k_pos % rank != 0) return;
    uint32_t* folds = reinterpret_cast<uint32_t*>(scratch);
    folds[thread] = 0;
    __syncthreads();
    CUTE_UNROLL
    for (int h = 0; h < 2; ++h) {
      CUTE_UNROLL
      for (int g = 0; g < 2; ++g) {
        CUTE_UNROLL
        for (int q = 0; q < 4; ++q) {
          uint32_t fold = 0;
          CUTE_UNROLL
          for (int e = 0; e < 2; ++e) {
            CUTE_UNROLL
            for (int i = 0; i < 2; ++i) {
              CUTE_UNROLL
              for (int j = 0; j < 2; ++j) {
                fold ^= static_cast<uint32_t>(accumulators(2 * h + e, 2 * g + i, 2 * q + j));
              }
            }
          }
          const auto at = coordinates(2 * h, 2 * g, 2 * q);
          atomicXor(&folds[candidate_of(get<0>(at), get<1>(at))], fold);
        }
      }
    }
    __syncthreads();
    const uint32_t fold = folds[thread];

    if (dump) {
      const int s = transcript_index(k_pos, rank);
      dump_state[s] = fold ^ transcript_rotl13(dump_state[s]);
      const int step = k_pos / rank - 1;
      if (step < capacity) {
        // Each thread files its own values under their candidates.
        CUTE_UNROLL
        for (int v = 0; v < size(accumulators); ++v) {
          const auto at = coordinates(v);
          const int row = get<0>(at);
          const int col = get<1>(at);
          const uint64_t entry = (first_candidate + candidate_of(row, col)) * steps + step;
          const uint64_t slot = entry * kValuesPerThread + candidate_slot(row, col);
          values[slot] = accumulators(v);
          value_counts[slot] += 1u;
        }
        VexalHeadlessJackpotDumpEntry record;
        record.block_x = blockIdx.x;
        record.block_y = blockIdx.y;
        record.k_tile = static_cast<uint32_t>(k_pos / 64 - 1);
        record.transcript_index = static_cast<uint32_t>(s);
        record.xored_tile = fold;
        record.transcript_word = dump_state[s];
        record.k_pos = static_cast<uint32_t>(k_pos);
        entries[(first_candidate + thread) * steps + step] = record;
      }
    }

    epilogue.end_step(k_pos, [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
                      candidate_positions);
    // The folds sit in the stage that the next load fills.
    __syncthreads();
  });

  epilogue.finish(candidate_positions);
}

// The tile at the origin over all of k, each cell written once.
__global__ void __launch_bounds__(kThreads) debug_gemm_tile_kernel(
    ProblemShape shape, CtaTiler, const int8_t* a, OperandStride a_stride, SharedLayoutA,
    GlobalToShared, SharedToRegisterA, const int8_t* b, OperandStride b_stride, SharedLayoutB,
    GlobalToShared, SharedToRegisterB, int* product, int* counts, TiledMma) {
  const int n = get<1>(shape);
  TiledMma mma;
  auto mma_thread = mma.get_slice(threadIdx.x);
  Tensor accumulators = partition_fragment_C(mma, Shape<Int<kTileM>, Int<kTileN>>{});
  Tensor coordinates = mma_thread.partition_C(make_identity_tensor(Shape<Int<kTileM>, Int<kTileN>>{}));
  clear(accumulators);
  const auto cp_async_loader = [](auto& gA, auto& sA, auto& gB, auto& sB, int8_t*) {
    GlobalToShared global_copy;
    auto copy_thread = global_copy.get_slice(threadIdx.x);
    return make_cp_async_loader(copy_thread.partition_S(gA), copy_thread.partition_D(sA),
                                copy_thread.partition_S(gB), copy_thread.partition_D(sB));
  };
  multiply_tile(shape, a, a_stride, b, b_stride, 0, 0, accumulators, cp_async_loader,
                [](int, int8_t*) {});
  for (int v = 0; v < size(accumulators); ++v) {
    const auto at = coordinates(v);
    const int64_t cell = static_cast<int64_t>(get<0>(at)) * n + get<1>(at);
    product[cell] = accumulators(v);
    counts[cell] += 1;
  }
}

// The cells of each candidate thread, in its transcript's value order.
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int* meta, TiledMma) {
  const int thread = static_cast<int>(threadIdx.x);
  for (int v = 0; v < kValuesPerThread; ++v) {
    const TilePosition at = candidate_position(thread, v);
    rows[thread * 256 + v] = at.row;
    cols[thread * 256 + v] = at.col;
  }
  if (thread == 0) {
    meta[0] = kValuesPerThread;
    meta[1] = kThreads;
  }
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

// Sparse noise of A, then of B, each checked just before it is enqueued.
cudaError_t noise_both_operands(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                const int8_t* b_left, const int8_t* a_right, const int8_t* b_right,
                                int8_t* noised_a, int8_t* noised_b, int16_t* a_index0,
                                int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m,
                                int n, int k, int rank, cudaStream_t stream) {
  if (!a || !a_left || !a_right || !noised_a || !a_index0 || !a_index1) return cudaErrorInvalidValue;
  if (m < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  cudaError_t error = headless_slots::common_sparse_noise_pair(a, a_left, a_right, noised_a, a_index0,
                                                               a_index1, m, k, rank, stream);
  if (error != cudaSuccess) return error;
  if (!b || !b_left || !b_right || !noised_b || !b_index0 || !b_index1) return cudaErrorInvalidValue;
  if (n < 1) return cudaErrorInvalidValue;
  return headless_slots::common_sparse_noise_pair(b, b_left, b_right, noised_b, b_index0, b_index1,
                                                  n, k, rank, stream);
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
  const cudaError_t noised =
      noise_both_operands(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0,
                          a_index1, b_index0, b_index1, m, n, k, rank, stream);
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
  const cudaError_t noised =
      noise_both_operands(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0,
                          a_index1, b_index0, b_index1, m, n, k, rank, stream);
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
