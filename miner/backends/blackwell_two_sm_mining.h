#pragma once
// What the B200 and B300 launchers share: the launch steps around their
// cluster kernels (tensor maps, attributes, first-launch stagger, the cluster
// launch that reports every failure as 719). The kernels' body is in
// blackwell_two_sm_mma.h.
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
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

namespace blackwell_two_sm {

constexpr int kThreads = 128;
constexpr int kRank = 128;
constexpr int kClusterX = 2;
constexpr int kClusterY = 2;

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
cudaError_t launch_on_clusters(void (*kernel)(Params...), const KernelFootprint& footprint, dim3 grid,
                               int shared_bytes, cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "one argument per kernel parameter");
  if (grid.x % kClusterX != 0 || grid.y % kClusterY != 0) return cudaErrorLaunchFailure;
  const void* function = reinterpret_cast<const void*>(kernel);
  if (cudaFuncSetAttribute(function, cudaFuncAttributeNonPortableClusterSizeAllowed, 1) !=
      cudaSuccess) {
    cudaGetLastError();
    return cudaErrorLaunchFailure;
  }
#if defined(KORVATH_FLAVOUR_HOST)
  kernel_launch_detail::register_with_stand_in(kernel, footprint);
#else
  (void)footprint;
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
