#pragma once
// The library's kernels are classes K with a nested K::Params block and
//   void operator()(const K::Params& params, char* dynamic_shared);
// plus K::MaxThreadsPerBlock and K::MinBlocksPerMultiprocessor (the launch
// bounds). They run as cutlass::device_kernel<K> on the GPU. That wrapper
// reaches its dynamic shared memory through `extern __shared__`, which the
// host flavour cannot express, so there a same-shaped host kernel stands in.
//
//   device_kernel_function<K>()  the kernel function itself (for attributes)
//   launch_device_kernel<K>(grid, block, dynamic_shared_bytes, stream, params)
//     launches it through launch_kernel and returns the launch's result; the
//     caller reads cudaGetLastError afterwards as after any launch.
#include <cstddef>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

#if defined(KORVATH_FLAVOUR_CUDA)
#include <cutlass/device_kernel.h>
#endif

namespace vexal {

#if defined(KORVATH_FLAVOUR_HOST)
template <typename K>
void host_device_kernel(typename K::Params const params) {
  K op;
  op(params, korvath_dynamic_shared<char>());
}
#endif

template <typename K>
inline auto device_kernel_function() {
#if defined(KORVATH_FLAVOUR_CUDA)
  return &cutlass::device_kernel<K>;
#else
  return &host_device_kernel<K>;
#endif
}

template <typename K>
cudaError_t launch_device_kernel(dim3 grid, dim3 block, size_t dynamic_shared_bytes,
                                 cudaStream_t stream, const typename K::Params& params) {
  return launch_kernel(device_kernel_function<K>(), grid, block, dynamic_shared_bytes, stream,
                       params);
}

}  // namespace vexal
