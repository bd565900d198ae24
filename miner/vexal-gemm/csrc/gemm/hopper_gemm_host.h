#pragma once
// run_hopper_gemm: builds the product's parameter blocks and tensor maps,
// sets its shared-memory attributes and launches it as (1, 8, 1) clusters.
// Nothing is cached between calls. A refused attribute ends the process; a
// failed launch stays in the runtime's last error for the caller.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#if defined(KORVATH_FLAVOUR_HOST) && !defined(CUTLASS_SM90_CLUSTER_LAUNCH_ENABLED)
// The stand-in runtime takes cluster launches through cudaLaunchKernelExC.
#define CUTLASS_SM90_CLUSTER_LAUNCH_ENABLED
#endif
#include <cutlass/cluster_launch.hpp>

#include "core/cuda_driver.h"
#include "core/kernel_launch.h"
#include "gemm/hopper_gemm_kernel.h"
#include "gemm/hopper_gemm_params.h"

namespace vexal {

constexpr int kHopperGemmSharedBytes = HopperTraits<true, true>::kSharedBytes;
static_assert(kHopperGemmSharedBytes == 197632, "four stages of A and B tiles and 1 KiB");
constexpr int kHopperGemmThreads = 384;
// What the kernel was compiled with (sm_90a; the setmaxnreg pool starts from
// its registers), checked by scripts/kernel_report.
constexpr KernelFootprint kHopperGemmFootprint{168, 16496};

inline void print_smem_size_failure(int requested, int device_limit, cudaError_t error) {
  std::cerr << "Failed to set shared memory size. Requested: " << requested << " bytes ("
            << requested / 1024 << " KB), Device limit: " << device_limit << " bytes ("
            << device_limit / 1024 << " KB). Error: " << cudaGetErrorString(error);
}

inline void print_smem_carveout_failure(cudaError_t error) {
  std::cerr << "Failed to set shared memory carveout. Error: " << cudaGetErrorString(error);
}

#define VEXAL_HOPPER_CHECK(condition, ...)                                                  \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "TORCH_CHECK failed: %s at %s:%d: ", #condition, __FILE__, __LINE__); \
      std::fflush(stderr);                                                                  \
      __VA_ARGS__;                                                                          \
      std::cerr << "\n";                                                                    \
      std::cerr.flush();                                                                    \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace hopper_host_detail {

using TensorMapEncodeTiled = CUresult (*)(CUtensorMap*, CUtensorMapDataType, cuuint32_t, void*,
                                          const cuuint64_t*, const cuuint64_t*, const cuuint32_t*,
                                          const cuuint32_t*, CUtensorMapInterleave,
                                          CUtensorMapSwizzle, CUtensorMapL2promotion,
                                          CUtensorMapFloatOOBfill);

// A two-dimensional map (dimension 0 contiguous); a refused map is reported
// and left zero-filled, and the launch goes on.
inline TmaDescriptor make_tma(CUtensorMapDataType type, const void* base, uint64_t dim0,
                              uint64_t dim1, uint64_t row_bytes, uint32_t box0, uint32_t box1) {
  // Encoded into a named local, which the compiler aligns to the map's 64
  // bytes, then copied out: g++ 12 has placed the temporary that receives the
  // returned value 16 bytes off that alignment, and the encoder refuses it.
  TmaDescriptor encoded{};
  const auto encode = reinterpret_cast<TensorMapEncodeTiled>(
      cuda_driver_entry_point("cuTensorMapEncodeTiled", nullptr));
  const cuuint64_t dims[2] = {dim0, dim1};
  const cuuint64_t strides[1] = {row_bytes};
  const cuuint32_t box[2] = {box0, box1};
  const cuuint32_t element_strides[2] = {1, 1};
  CUresult result = CUDA_ERROR_NOT_FOUND;
  if (encode != nullptr) {
    result = encode(&encoded.map, type, 2, const_cast<void*>(base), dims, strides, box,
                    element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
                    CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE);
  }
  if (result != CUDA_SUCCESS) {
    std::fprintf(stderr,
                 "Error: Failed to initialize the TMA descriptor %d\n"
                 "  type %d, base %p, dims (%llu, %llu), stride %llu, box (%u, %u)\n",
                 static_cast<int>(result), static_cast<int>(type), base,
                 static_cast<unsigned long long>(dim0), static_cast<unsigned long long>(dim1),
                 static_cast<unsigned long long>(row_bytes), box0, box1);
    encoded = TmaDescriptor{};
  }
  TmaDescriptor descriptor;
  std::memcpy(&descriptor, &encoded, sizeof(descriptor));
  return descriptor;
}

}  // namespace hopper_host_detail

template <class Traits>
typename CollectiveMainloop<Traits>::Params make_mainloop_params(
    const int8_t* a, const int8_t* b, HostSignalHeader* signal_header,
    HostSignalSync* signal_sync, int32_t m, int32_t n, int32_t k, int32_t rank,
    uint64_t mainloop_word, const uint32_t* target, const uint32_t* seed) {
  using hopper_host_detail::make_tma;
  typename CollectiveMainloop<Traits>::Params p{};
  p.a = a;
  p.b = b;
  p.layout_a = Int32Extents3{m, k, k};
  p.layout_b = Int32Extents3{n, k, k};
  const auto ku = static_cast<uint64_t>(k);
  p.tma_load_a = make_tma(CU_TENSOR_MAP_DATA_TYPE_UINT8, a, ku, static_cast<uint64_t>(m), ku,
                          Traits::kTileK, Traits::kBoxRowsA);
  p.tma_load_b = make_tma(CU_TENSOR_MAP_DATA_TYPE_UINT8, b, ku, static_cast<uint64_t>(n), ku,
                          Traits::kTileK, Traits::kTileN);
  p.signal_header = signal_header;
  p.signal_sync = signal_sync;
  p.m = m;
  p.n = n;
  p.k = k;
  p.rank = rank;
  p.mainloop_word = mainloop_word;
  p.target = target;
  p.seed = seed;
  return p;
}

template <class Traits>
typename CollectiveEpilogue<Traits>::Params make_epilogue_params(
    cutlass::bfloat16_t* out, const void* epilogue_ptr_0, const void* epilogue_ptr_1,
    const cutlass::half_t* row_factor_0, const cutlass::half_t* col_factor_0,
    const cutlass::half_t* row_factor_1, const cutlass::half_t* col_factor_1, int32_t m,
    int32_t n, int32_t k, int32_t rank) {
  using hopper_host_detail::make_tma;
  typename CollectiveEpilogue<Traits>::Params p{};
  p.out = out;
  p.row_factor_0 = row_factor_0;
  p.col_factor_0 = col_factor_0;
  p.row_factor_1 = row_factor_1;
  p.col_factor_1 = col_factor_1;
  p.epilogue_ptr_0 = epilogue_ptr_0;
  p.epilogue_ptr_1 = epilogue_ptr_1;
  const auto mu = static_cast<uint64_t>(m);
  const auto nu = static_cast<uint64_t>(n);
  constexpr auto kHalf = CU_TENSOR_MAP_DATA_TYPE_FLOAT16;
  const uint32_t factor_rows_m = Traits::kBoxRowsA;
  const uint32_t factor_rows_n = Traits::kTileN;
  p.tma_row_factor_0 = make_tma(kHalf, row_factor_0, 128, mu, 256, 64, factor_rows_m);
  p.tma_col_factor_0 = make_tma(kHalf, col_factor_0, 128, nu, 256, 64, factor_rows_n);
  p.tma_row_factor_1 = make_tma(kHalf, row_factor_1, 128, mu, 256, 64, factor_rows_m);
  p.tma_col_factor_1 = make_tma(kHalf, col_factor_1, 128, nu, 256, 64, factor_rows_n);
  p.tma_out = make_tma(CU_TENSOR_MAP_DATA_TYPE_BFLOAT16, out, nu, mu, 2 * nu, 64, Traits::kTileM);
  const int32_t extents[9] = {m, n, n, m, n, m, n, m, n};
  for (int i = 0; i < 9; ++i) p.extents[i] = extents[i];
  p.m = m;
  p.n = n;
  p.k = k;
  p.rank = rank;
  return p;
}

struct HopperLaunchShape {
  dim3 grid;
  SingleTileScheduler::Params scheduler;
};

// Grid and tile order of a launch, in signed 32-bit arithmetic.
inline HopperLaunchShape hopper_launch_shape(int32_t m, int32_t n, int32_t group_size,
                                             bool group_along_n) {
  const int32_t tiles_m = (m + 127) / 128;
  const int32_t tiles_n = (n + 255) / 256;
  const int32_t clusters_n = (tiles_n + 7) / 8;
  const int32_t unit = group_along_n ? 8 : 1;
  const int32_t group = (group_size + unit - 1) / unit;
  const int32_t major = group_along_n ? clusters_n : tiles_m;
  const int32_t minor = group_along_n ? tiles_m : clusters_n;
  HopperLaunchShape shape;
  shape.grid = dim3(static_cast<unsigned>(tiles_m), static_cast<unsigned>(8 * clusters_n), 1);
  shape.scheduler.tiles_m = tiles_m;
  shape.scheduler.full_groups = major / group;
  shape.scheduler.group_width = cutlass::FastDivmod(group);
  shape.scheduler.group_span = cutlass::FastDivmod(minor * group);
  const int32_t tail = major % group;
  shape.scheduler.tail_width = cutlass::FastDivmod(tail > 1 ? tail : 1);
  shape.scheduler.group_along_n = group_along_n;
  return shape;
}

// The instantiation's kernel handle.
template <bool kMFullTiles, bool kNFullTiles>
const void* hopper_gemm_kernel_handle() {
  using Traits = HopperTraits<kMFullTiles, kNFullTiles>;
  const auto kernel = hopper_gemm_ws<Traits, SingleTileScheduler>;
#if defined(KORVATH_FLAVOUR_HOST)
  kernel_launch_detail::register_with_stand_in(kernel, kHopperGemmFootprint);
#endif
  return reinterpret_cast<const void*>(kernel);
}

template <bool kMFullTiles, bool kNFullTiles>
void run_hopper_gemm(const HopperGemmArgs& args, cudaStream_t stream) {
  using Traits = HopperTraits<kMFullTiles, kNFullTiles>;
  auto epilogue = make_epilogue_params<Traits>(
      args.out, args.epilogue_ptr_0, args.epilogue_ptr_1, args.row_factor_0, args.col_factor_0,
      args.row_factor_1, args.col_factor_1, args.m, args.n, args.k, args.rank);
  auto mainloop = make_mainloop_params<Traits>(args.a, args.b, args.signal_header,
                                               args.signal_sync, args.m, args.n, args.k,
                                               args.rank, args.mainloop_word, args.target,
                                               args.seed);
  HopperLaunchShape shape = hopper_launch_shape(args.m, args.n, args.group_size, args.group_along_n);

  int device = 0;
  cudaGetDevice(&device);
  int device_limit = 0;
  cudaDeviceGetAttribute(&device_limit, cudaDevAttrMaxSharedMemoryPerBlockOptin, device);

  const void* kernel = hopper_gemm_kernel_handle<kMFullTiles, kNFullTiles>();
  cudaError_t error = cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                           kHopperGemmSharedBytes);
  if (error != cudaSuccess) {
    cudaGetLastError();
    VEXAL_HOPPER_CHECK(false, print_smem_size_failure(kHopperGemmSharedBytes, device_limit, error));
  }
  error = cudaFuncSetAttribute(kernel, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
  if (error != cudaSuccess) {
    cudaGetLastError();
    VEXAL_HOPPER_CHECK(false, print_smem_carveout_failure(error));
  }

  void* parameters[] = {&mainloop, &epilogue, &shape.scheduler};
  cutlass::ClusterLauncher::launch(shape.grid, dim3(1, 8, 1), dim3(kHopperGemmThreads, 1, 1),
                                   kHopperGemmSharedBytes, stream, kernel, parameters, false);
}

}  // namespace vexal
