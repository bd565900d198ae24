#pragma once
// What the B200 and B300 units share: the mining body their cluster kernels
// run, and the launch steps around it (tensor maps, attributes, first-launch
// stagger, the cluster launch that reports every failure as 719).
//
// Each block of a (2, 2, 1) cluster mines 128 rows of its CTA pair's tile, as
// 128 x 128 sub-tiles one after another. Thread t holds rows 64·g + o and
// 64·g + o + 32 of a sub-tile and columns 64·c to 64·c + 63, with
// o = t mod 32, g = (t / 32) mod 2 and c = t / 64 (the layout the diagnostics
// replay), and reports the sub-tile as its tile: tile_height = tile_width = 128.
// The operands are read as int8 values whatever their element type, and
// accumulated exactly in int32.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "backends/kernel_signal.h"
#include "backends/mining_epilogue.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

namespace blackwell_two_sm {

constexpr int kThreads = 128;
constexpr int kSubTile = 128;
constexpr int kRank = 128;
constexpr int kColumnsPerThread = 64;
constexpr int kValuesPerThread = 2 * kColumnsPerThread;
constexpr int kClusterX = 2;
constexpr int kClusterY = 2;

__host__ __device__ inline TilePosition value_position(int thread, int v) {
  const int row = 64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / kColumnsPerThread);
  const int col = kColumnsPerThread * (thread / 64) + v % kColumnsPerThread;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

// Four consecutive operand values as four int8 bytes of one word.
__device__ inline uint32_t load_four(const int8_t* p) {
  return *reinterpret_cast<const uint32_t*>(p);
}

template <typename Element>
__device__ inline uint32_t load_four(const Element* p) {
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) {
    const int value = static_cast<int>(static_cast<float>(p[i]));
    word |= (static_cast<uint32_t>(value) & 0xffu) << (8 * i);
  }
  return word;
}

// Sub-tile (tile_m, tile_n) over all of k with rank-128 steps.
template <typename Element>
__device__ void mine_sub_tile(const Element* a, const Element* b, int m, int k, int tile_m,
                              int tile_n, const MiningOutputs& outputs) {
  const int thread = static_cast<int>(threadIdx.x);
  const TilePosition origin = value_position(thread, 0);
  const Element* a_row0 = a + (static_cast<int64_t>(tile_m) * kSubTile + origin.row) * k;
  const Element* a_row1 = a_row0 + static_cast<int64_t>(32) * k;
  const Element* b_rows = b + (static_cast<int64_t>(tile_n) * kSubTile + origin.col) * k;

  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(m / kSubTile);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kSubTile;
  place.tile_width = kSubTile;
  place.k = k;
  place.rank = kRank;
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);

  int32_t acc[kValuesPerThread];
  for (int v = 0; v < kValuesPerThread; ++v) acc[v] = 0;
  const auto values = [&acc](int v) { return acc[v]; };
  const auto positions = [thread](int v) { return value_position(thread, v); };

  for (int k_pos = kRank; k_pos <= k; k_pos += kRank) {
    for (int t = k_pos - kRank; t < k_pos; t += 4) {
      const int a0 = static_cast<int>(load_four(a_row0 + t));
      const int a1 = static_cast<int>(load_four(a_row1 + t));
      for (int j = 0; j < kColumnsPerThread; ++j) {
        const int b_word = static_cast<int>(load_four(b_rows + static_cast<int64_t>(j) * k + t));
        acc[j] = __dp4a(a0, b_word, acc[j]);
        acc[kColumnsPerThread + j] = __dp4a(a1, b_word, acc[kColumnsPerThread + j]);
      }
    }
    epilogue.end_step(k_pos, values, positions);
  }
  epilogue.finish(positions);
}

// Block (x, y) mines rows 128·x of the tile column y, `sub_tiles` wide.
template <typename Element>
__device__ void mine_block(const Element* a, const Element* b, int m, int k, int sub_tiles,
                           HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                           const uint32_t* seed) {
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  for (int j = 0; j < sub_tiles; ++j) {
    mine_sub_tile(a, b, m, k, static_cast<int>(blockIdx.x),
                  static_cast<int>(blockIdx.y) * sub_tiles + j, outputs);
  }
}

// ---- host side ------------------------------------------------------------

// Both shared-memory attributes before every launch; a failure is returned.
inline cudaError_t set_shared_attributes(const void* kernel, int shared_bytes) {
  const cudaError_t error =
      cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, shared_bytes);
  if (error != cudaSuccess) return error;
  return cudaFuncSetAttribute(kernel, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
}

// A 2-D tiled map over rows of `row_bytes` bytes, 128-byte swizzle. A refused
// encoding is reported on standard error and does not stop the launch.
inline void encode_tensor_map(CUtensorMap* map, CUtensorMapDataType type, const void* address,
                              uint64_t k, uint64_t rows, uint64_t row_bytes, uint32_t box_k,
                              uint32_t box_rows) {
  std::memset(map, 0, sizeof(*map));
  using Encode = CUresult (*)(CUtensorMap*, CUtensorMapDataType, cuuint32_t, void*,
                              const cuuint64_t*, const cuuint64_t*, const cuuint32_t*,
                              const cuuint32_t*, CUtensorMapInterleave, CUtensorMapSwizzle,
                              CUtensorMapL2promotion, CUtensorMapFloatOOBfill);
  void* function = nullptr;
  cudaDriverEntryPointQueryResult found = cudaDriverEntryPointSymbolNotFound;
  int result = 999;
  // The versionless lookup is deprecated but is the one this launcher makes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const cudaError_t lookup = cudaGetDriverEntryPoint("cuTensorMapEncodeTiled", &function, 0, &found);
#pragma GCC diagnostic pop
  if (lookup == cudaSuccess &&
      found == cudaDriverEntryPointSuccess && function != nullptr) {
    const cuuint64_t dims[2] = {k, rows};
    const cuuint64_t strides[1] = {row_bytes};
    const cuuint32_t box[2] = {box_k, box_rows};
    const cuuint32_t element_strides[2] = {1, 1};
    result = static_cast<int>(reinterpret_cast<Encode>(function)(
        map, type, 2, const_cast<void*>(address), dims, strides, box, element_strides,
        CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
        CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE));
  } else {
    cudaGetLastError();  // a failed lookup is not the launch's error
  }
  if (result != 0) {
    std::fprintf(stderr, "Error: Failed to initialize the TMA descriptor %d\n", result);
  }
}

// The devices that made their first mining launch; one per launcher.
struct FirstLaunchSet {
  std::mutex mutex;
  std::set<int> devices;
};

// Records the current device; on its first recording device d > 0 sleeps
// d x VEXAL_B200_LAUNCH_STAGGER_MS milliseconds (1500 when unset).
inline void first_launch_stagger(FirstLaunchSet& launched) {
  int device = -1;
  cudaGetDevice(&device);
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(launched.mutex);
    first = launched.devices.insert(device).second;
  }
  if (!first || device <= 0) return;
  const char* text = std::getenv("VEXAL_B200_LAUNCH_STAGGER_MS");
  const int per_device = text ? static_cast<int>(std::strtol(text, nullptr, 10)) : 1500;
  if (per_device <= 0) return;
  const int64_t delay = static_cast<int64_t>(device) * per_device;
  timespec wait{static_cast<time_t>(delay / 1000), static_cast<long>((delay % 1000) * 1000000)};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// The kernel on a (2, 2, 1) cluster grid. Any failure of the cluster launch
// (a grid the cluster does not divide, the non-portable size attribute, the
// launch itself) is reported as cudaErrorLaunchFailure.
template <typename... Params, typename... Args>
cudaError_t launch_on_clusters(void (*kernel)(Params...), dim3 grid, int shared_bytes,
                               cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "one argument per kernel parameter");
  if (grid.x % kClusterX != 0 || grid.y % kClusterY != 0) return cudaErrorLaunchFailure;
  const void* function = reinterpret_cast<const void*>(kernel);
  if (cudaFuncSetAttribute(function, cudaFuncAttributeNonPortableClusterSizeAllowed, 1) !=
      cudaSuccess) {
    cudaGetLastError();
    return cudaErrorLaunchFailure;
  }
#if defined(KORVATH_FLAVOUR_HOST)
  kernel_launch_detail::register_with_stand_in(kernel);
#endif
  cudaLaunchAttribute cluster{};
  cluster.id = cudaLaunchAttributeClusterDimension;
  cluster.val.clusterDim.x = kClusterX;
  cluster.val.clusterDim.y = kClusterY;
  cluster.val.clusterDim.z = 1;
  cudaLaunchConfig_t config{};
  config.gridDim = grid;
  config.blockDim = dim3(kThreads, 1, 1);
  config.dynamicSmemBytes = static_cast<size_t>(shared_bytes);
  config.stream = stream;
  config.attrs = &cluster;
  config.numAttrs = 1;
  std::tuple<Params...> values(std::forward<Args>(args)...);
  const cudaError_t launched = std::apply(
      [&](Params&... value) {
        void* pointers[] = {static_cast<void*>(&value)..., nullptr};
        return cudaLaunchKernelExC(&config, function, pointers);
      },
      values);
  if (launched != cudaSuccess) {
    cudaGetLastError();
    return cudaErrorLaunchFailure;
  }
  return cudaGetLastError();
}

}  // namespace blackwell_two_sm
