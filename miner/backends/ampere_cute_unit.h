#pragma once
// The host side of the ampere and CMP 170HX tensor-core units, over the
// unit's configuration:
//   struct Unit {
//     using BlockTile = ...;  // (128, 128, K tile)
//     using SharedLayout = ...; using GlobalToShared = ...;
//     using SharedToRegisterA = ...; using SharedToRegisterB = ...;
//     using TiledMma = ...;
//     static constexpr int kSharedBytes = ...;  // dynamic, all stages of A and B
//     static constexpr int kGroupTiles = ...;   // M tiles per group of the grid
//     // The unit's own kernels, instantiated on the types above:
//     template <bool kDump> static constexpr auto mining_kernel = ...;
//     static constexpr auto debug_kernel = ..., coords_kernel = ...;
//   };
// The units keep their kernels (whose names are theirs) and the sparse noise.
#include <cstdint>

#include <cute/tensor.hpp>

#include "backends/ampere_cute_launch.h"
#include "backends/kernel_signal.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

namespace ampere_cute {

using ProblemShape = decltype(cute::make_shape(0, 0, 0));
using OperandStride = decltype(cute::make_stride(0, cute::Int<1>{}));

template <class Unit>
struct UnitSlots {
  static constexpr int kTileK = decltype(cute::size<2>(typename Unit::BlockTile{}))::value;

  static bool shape_fits(int m, int n, int k, int rank) {
    return m % kTile == 0 && n % kTile == 0 && k % kTileK == 0 && rank % kTileK == 0;
  }

  // The mining launch on checked arguments; the dump variant with kDump.
  template <bool kDump>
  static cudaError_t mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                          HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                          const uint32_t* seed, int rank, VexalHeadlessJackpotDumpEntry* entries,
                          int32_t* values, uint32_t* value_counts, int capacity,
                          cudaStream_t stream) {
    using namespace cute;
    return launch_mining_grid(
        Unit::template mining_kernel<kDump>, Unit::kGroupTiles, Unit::kSharedBytes, m, n, stream, make_shape(m, n, k),
        typename Unit::BlockTile{}, a, make_stride(k, Int<1>{}), typename Unit::SharedLayout{},
        typename Unit::GlobalToShared{}, typename Unit::SharedToRegisterA{}, b,
        make_stride(k, Int<1>{}), typename Unit::SharedLayout{}, typename Unit::GlobalToShared{},
        typename Unit::SharedToRegisterB{}, header, sync, target, seed, typename Unit::TiledMma{},
        rank, entries, values, value_counts, capacity);
  }

  // Slot 4: mining of noised operands.
  static cudaError_t headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                   HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed, int rank,
                                   cudaStream_t stream) {
    if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
    if (m < 1 || n < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
    if (!shape_fits(m, n, k, rank)) return cudaErrorInvalidValue;
    return mine<false>(a, b, m, n, k, header, sync, target, seed, rank, nullptr, nullptr, nullptr,
                       0, stream);
  }

  // Slot 6 after its noise: the dump's checks, then the dump variant.
  static cudaError_t mine_with_dump(const int8_t* noised_a, const int8_t* noised_b, int m, int n,
                                    int k, HostSignalHeader* header, HostSignalSync* sync,
                                    const uint32_t* target, const uint32_t* seed, int rank,
                                    VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                    uint32_t* value_counts, int capacity, cudaStream_t stream) {
    if (!header || !sync || !target || !seed) return cudaErrorInvalidValue;
    if (!entries || !values || !value_counts || capacity < 1) return cudaErrorInvalidValue;
    if (!shape_fits(m, n, k, rank)) return cudaErrorInvalidValue;
    return mine<true>(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, entries,
                      values, value_counts, capacity, stream);
  }

  // Slot 7.
  static cudaError_t dump_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                 cudaStream_t stream) {
    if (!cols || !meta || !rows) return cudaErrorInvalidValue;
    launch_kernel(Unit::coords_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), 0, stream, rows, cols,
                  meta, typename Unit::TiledMma{});
    return cudaGetLastError();
  }

  // Slot 8: the block tile at the origin with the mining configuration.
  static cudaError_t debug_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                int32_t* counts, int m, int n, int k, cudaStream_t stream) {
    using namespace cute;
    if (!a || !b || !product || !counts) return cudaErrorInvalidValue;
    if (m < kTile || n < kTile || k < 1 || k % kTileK != 0) return cudaErrorInvalidValue;
    const cudaError_t attributes = set_kernel_attributes(Unit::debug_kernel, Unit::kSharedBytes);
    if (attributes != cudaSuccess) return attributes;
    launch_kernel(Unit::debug_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), Unit::kSharedBytes,
                  stream, make_shape(m, n, k), typename Unit::BlockTile{}, a,
                  make_stride(k, Int<1>{}), typename Unit::SharedLayout{},
                  typename Unit::GlobalToShared{}, typename Unit::SharedToRegisterA{}, b,
                  make_stride(k, Int<1>{}), typename Unit::SharedLayout{},
                  typename Unit::GlobalToShared{}, typename Unit::SharedToRegisterB{}, product,
                  counts, typename Unit::TiledMma{});
    return cudaGetLastError();
  }
};

}  // namespace ampere_cute
