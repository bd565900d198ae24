#pragma once
// The Hopper int8 product's launch record, traits and the three parameter
// blocks its kernel takes by value (mainloop, epilogue, tile scheduler).
#include <cstdint>

#include <cute/container/tuple.hpp>
#include <cute/numeric/integral_constant.hpp>
#include <cutlass/bfloat16.h>
#include <cutlass/fast_math.h>
#include <cutlass/half.h>

#include "backends/kernel_signal.h"
#include "core/gpu_platform.h"

namespace vexal {

// One launch of the product, filled by the caller on its stack.
struct HopperGemmArgs {
  const cutlass::half_t* row_factor_0;
  const cutlass::half_t* col_factor_1;
  const cutlass::half_t* row_factor_1;
  const cutlass::half_t* col_factor_0;
  const void* epilogue_ptr_0;
  const void* epilogue_ptr_1;
  cutlass::bfloat16_t* out;
  const int8_t* a;
  const int8_t* b;
  HostSignalHeader* signal_header;
  HostSignalSync* signal_sync;
  int32_t m;
  int32_t n;
  int32_t k;
  int32_t rank;
  int32_t group_size;  // in tiles
  bool group_along_n;
  uint64_t mainloop_word;
  const uint32_t* target;  // 8 words, least significant first
  const uint32_t* seed;    // A noise seed, 8 words
};

// A tensor map as the bulk copies read it (CUtensorMap carries its own alignment).
struct TmaDescriptor {
  CUtensorMap map;
};

// The kernel's compile-time shape. Three switches are carried only so that
// every instantiation keeps its full identity; the device code does not
// branch on them.
template <class ElementAB, class ElementOut, class ElementFactor, class ElementCompute,
          class TileShape, bool kMFullTiles, bool kNFullTiles, int kClusterM, int kClusterN,
          bool kSwitch0, bool kSwitch1, int kStages, bool kSwitch2>
struct KernelTraits {
  using Element = ElementAB;
  using Out = ElementOut;
  using Factor = ElementFactor;
  using Compute = ElementCompute;
  static constexpr int kTileM = decltype(cute::get<0>(TileShape{}))::value;
  static constexpr int kTileN = decltype(cute::get<1>(TileShape{}))::value;
  static constexpr int kTileK = decltype(cute::get<2>(TileShape{}))::value;
  static constexpr int kTileExtra = decltype(cute::get<3>(TileShape{}))::value;
  static constexpr bool kMFull = kMFullTiles;
  static constexpr bool kNFull = kNFullTiles;
  static constexpr int kClusterRows = kClusterM;
  static constexpr int kClusterCols = kClusterN;
  static constexpr int kPipelineStages = kStages;
  static constexpr int kProducerThreads = 128;
  static constexpr int kConsumerThreads = 256;
  static constexpr int kThreads = kProducerThreads + kConsumerThreads;
  static constexpr int kStageBytesA = kTileM * kTileK;
  static constexpr int kStageBytesB = kTileN * kTileK;
  // One extra KiB lets the stages start on the 1024-byte boundary the swizzle needs.
  static constexpr int kSharedBytes = kStages * (kStageBytesA + kStageBytesB) + 1024;
  // A is loaded in boxes of an eighth of the tile's rows, B in whole tiles.
  static constexpr int kBoxRowsA = kTileM / 8;
};

template <bool kMFullTiles, bool kNFullTiles>
using HopperTraits =
    KernelTraits<signed char, cutlass::bfloat16_t, cutlass::half_t, float,
                 cute::tuple<cute::C<128>, cute::C<256>, cute::C<128>, cute::C<128>>, kMFullTiles,
                 kNFullTiles, 1, 8, false, true, 4, false>;

struct Int32Extents3 {
  int32_t extent_0, extent_1, stride;
};

template <class Traits>
struct CollectiveMainloop {
  struct Params {
    const int8_t* a;
    const int8_t* b;
    Int32Extents3 layout_a;  // m, k, k
    Int32Extents3 layout_b;  // n, k, k
    TmaDescriptor tma_load_a;
    TmaDescriptor tma_load_b;
    HostSignalHeader* signal_header;
    HostSignalSync* signal_sync;
    int32_t m, n, k, rank;
    uint64_t mainloop_word;
    const uint32_t* target;
    const uint32_t* seed;
  };
};

template <class Traits>
struct CollectiveEpilogue {
  struct Params {
    cutlass::bfloat16_t* out;
    const cutlass::half_t* row_factor_0;
    const cutlass::half_t* col_factor_0;
    const cutlass::half_t* row_factor_1;
    const cutlass::half_t* col_factor_1;
    const void* epilogue_ptr_0;
    const void* epilogue_ptr_1;
    TmaDescriptor tma_out;
    TmaDescriptor tma_row_factor_0;
    TmaDescriptor tma_col_factor_0;
    TmaDescriptor tma_row_factor_1;
    TmaDescriptor tma_col_factor_1;
    int32_t extents[9];  // m, n, n, m, n, m, n, m, n
    int32_t m, n, k, rank;
  };
};

struct SingleTileScheduler {
  struct Params {
    int32_t tiles_m;
    int32_t full_groups;
    cutlass::FastDivmod group_width;
    cutlass::FastDivmod group_span;
    cutlass::FastDivmod tail_width;
    bool group_along_n;
  };
};

}  // namespace vexal
