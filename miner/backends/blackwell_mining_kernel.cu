// The Blackwell sm120 backend: a CuTe int8 tensor-core mining kernel over
// 128 x 256 tiles (cp.async into swizzled two-stage shared tiles, ldmatrix,
// mma.sync m16n8k32 on eight warps), and the unit's instance of the shared
// slots, which the row "hopper_sm90" borrows too.
//
// The tile, its candidates and the device bodies are shared with the native
// unit (blackwell_tile_mining.h).
#include "backends/blackwell_mining_kernel.h"

#include "backends/blackwell_tile_mining.h"
#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "core/instructions/cute_twins.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_blackwell {

namespace {

using namespace cute;
using namespace blackwell_tile;

constexpr int kSharedBytes = 2 * (kStageBytesA + kStageBytesB);
static_assert(kSharedBytes == 98304, "two stages of A and B tiles");
// Two sets of fold words (2 KiB beside the tiles): one barrier a K tile.
constexpr int kFoldSets = 2;

using SwizzleAtom = decltype(composition(Swizzle<2, 4, 3>{},
                                         Layout<Shape<_8, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}));
using SharedLayoutA = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileM>, Int<kTileK>, _2>{}));
using SharedLayoutB = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileN>, Int<kTileK>, _2>{}));

}  // namespace

template <bool kJackpotDump, bool kSecond>
__global__ void __launch_bounds__(kThreads) headless_mine_kernel(
    ProblemShape shape, CtaTiler, const int8_t* a, OperandStride a_stride, SharedLayoutA,
    GlobalToShared, SharedToRegisterA, const int8_t* b, OperandStride b_stride, SharedLayoutB,
    GlobalToShared, SharedToRegisterB, HostSignalHeader* header, HostSignalSync* sync,
    const uint32_t* target, const uint32_t* seed, TiledMma, int rank,
    VexalHeadlessJackpotDumpEntry* entries, int* values, uint32_t* value_counts, int capacity,
    uint32_t* extra) {
  static_assert(!kSecond, "one variant per dump flag");
  (void)extra;
  blackwell_tile::mine_block<kJackpotDump, kFoldSets>(
      shape, rank, header, sync, target, seed, entries, values, value_counts, capacity,
      [&](int tile_m, int tile_n, auto& accumulators, auto&& contribute, auto&& collect) {
        multiply_tile<kFoldSets, SharedLayoutA, SharedLayoutB>(shape, a, a_stride, b, b_stride,
                                                               tile_m, tile_n, accumulators,
                                                               CpAsyncLoads{}, contribute, collect);
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

// Both attributes before every launch; a failure is returned and nothing launched.
template <typename Kernel>
cudaError_t set_kernel_attributes(Kernel kernel) {
  const void* function = reinterpret_cast<const void*>(kernel);
  cudaError_t error =
      cudaFuncSetAttribute(function, cudaFuncAttributeMaxDynamicSharedMemorySize, kSharedBytes);
  if (error != cudaSuccess) return error;
  return cudaFuncSetAttribute(function, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
}

bool mining_arguments_valid(int m, int n, int k, int rank, HostSignalHeader* header,
                            HostSignalSync* sync, const uint32_t* target, const uint32_t* seed) {
  if (!header || !sync || !target || !seed) return false;
  return m % kTileM == 0 && k % kTileK == 0 && rank % 128 == 0 && n % kTileN == 0;
}

template <bool kJackpotDump>
cudaError_t launch_mining(const int8_t* noised_a, const int8_t* noised_b, int m, int n, int k,
                          int rank, HostSignalHeader* header, HostSignalSync* sync,
                          const uint32_t* target, const uint32_t* seed,
                          VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                          uint32_t* value_counts, int capacity, uint32_t* extra,
                          cudaStream_t stream) {
  const auto kernel = headless_mine_kernel<kJackpotDump, false>;
  const int64_t tiles_m = m / kTileM;
  const int64_t tiles_n = n / kTileN;
  const int64_t blocks = (tiles_m + 127) / 128 * 128 * tiles_n;
  if (blocks > INT32_MAX) return cudaErrorInvalidValue;
  const cudaError_t attributes = set_kernel_attributes(kernel);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(kernel, dim3(static_cast<unsigned>(blocks), 1, 1), dim3(kThreads, 1, 1),
                kSharedBytes, stream, ProblemShape{m, n, k}, CtaTiler{}, noised_a,
                OperandStride{k, _1{}}, SharedLayoutA{}, GlobalToShared{}, SharedToRegisterA{},
                noised_b, OperandStride{k, _1{}}, SharedLayoutB{}, GlobalToShared{},
                SharedToRegisterB{}, header, sync, target, seed, TiledMma{}, rank, entries, values,
                value_counts, capacity, extra);
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
  if (!mining_arguments_valid(m, n, k, rank, header, sync, target, seed)) {
    return cudaErrorInvalidValue;
  }
  return launch_mining<false>(noised_a, noised_b, m, n, k, rank, header, sync, target, seed,
                              nullptr, nullptr, nullptr, 0, extra, stream);
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
  if (!mining_arguments_valid(m, n, k, rank, header, sync, target, seed)) {
    return cudaErrorInvalidValue;
  }
  if (!entries || !values || !value_counts || capacity < 1) return cudaErrorInvalidValue;
  return launch_mining<true>(noised_a, noised_b, m, n, k, rank, header, sync, target, seed,
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
  const cudaError_t attributes = set_kernel_attributes(debug_gemm_tile_kernel);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(debug_gemm_tile_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), kSharedBytes, stream,
                ProblemShape{m, n, k}, CtaTiler{}, a, OperandStride{k, _1{}}, SharedLayoutA{},
                GlobalToShared{}, SharedToRegisterA{}, b, OperandStride{k, _1{}}, SharedLayoutB{},
                GlobalToShared{}, SharedToRegisterB{}, product, counts, TiledMma{});
  return cudaGetLastError();
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }

}  // namespace vexal_blackwell
