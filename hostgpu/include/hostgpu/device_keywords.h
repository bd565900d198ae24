#pragma once
// CUDA's declaration keywords for device code compiled by the host compiler.
// The toolkit's headers define them empty for a non-CUDA compiler; the ones
// whose meaning the executor depends on are redefined here.
#include <cuda_runtime.h>

// Static shared memory: one instance per resident block. The threads of a
// block are fibers on one host thread; the blocks of a cluster, and every
// block when shared memory is poisoned, each run on a fresh host thread of
// their own, while a lone block on a kind device runs on the launching host
// thread and finds what the block before it left. (A thread_local variable
// at block scope is static.) `extern __shared__`
// declarations name a host-thread variable that must be defined somewhere:
// device code reaches dynamic shared memory through hostgpu::dynamic_shared,
// and CUTLASS's kernel entry point finds it as cutlass::smem.
#undef __shared__
#define __shared__ thread_local

// Constant memory is per device, which a plain global cannot be: device
// constants are declared through HOSTGPU_DEVICE_CONSTANT (device_constant.h).
#undef __constant__
#define __constant__ \
  static_assert(false, "constant memory is per device: declare it with the device-constant macro");

#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif
