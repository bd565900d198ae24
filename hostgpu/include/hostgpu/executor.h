#pragma once
// Launch-side addition (runtime): register_kernel_parameters, below. A launch
// copies its argument values when it is enqueued, so the runtime needs each
// kernel parameter's byte size and alignment; whoever registers a kernel's
// invoker registers its parameters too (the template form derives them from
// the kernel's type).
//
// The seam between the stand-in's runtime (devices, memory, streams, launches)
// and its executor (blocks, fibers, barriers, warp operations, shared and
// constant memory). The runtime decides *when* a grid runs; the executor runs it.
#include <cstddef>
#include <functional>

#include <driver_types.h>
#include <vector_types.h>

namespace hostgpu {

struct GridLaunch {
  dim3 grid;
  dim3 block;
  size_t dynamic_shared_bytes = 0;
  int device = 0;               // ordinal whose constant memory the kernel sees
  const void* kernel = nullptr; // identity of the kernel, for messages
  dim3 cluster{1, 1, 1};        // blocks that are resident together; divides grid
  int compute_capability = 0;   // of the device: major x 10 + minor
  // Blocks one SM holds at once, as the device admits them from the kernel's
  // registers, shared memory and threads (0: not known, as many as the
  // executor keeps resident).
  unsigned blocks_per_sm = 0;
  int registers_per_thread = 0;  // the kernel was compiled with; 0: not declared
};

// Runs the grid cluster after cluster (a block is a cluster of one); the
// blocks of a cluster are resident together, each on a host thread of its
// own, and every thread of a block is a fiber that calls body(). With the
// resident freedom (exec_settings.h) up to blocks_per_sm clusters are
// resident at once and interleaved. The calling host thread waits for the
// grid. Returns cudaSuccess, or cudaErrorLaunchFailure after a fault inside
// the kernel (a barrier that not every thread reached, a trap); the reason
// is kept for last_kernel_fault(). A grid or block with a zero dimension runs
// nothing. Device code cannot launch grids: a call from inside a kernel fails.
cudaError_t execute_grid(const GridLaunch& launch, const std::function<void()>& body);

// Text describing the most recent kernel fault on this host thread.
const char* last_kernel_fault();

// Device constant memory: the per-device storage behind a registered device
// symbol (the address the program passes to cudaMemcpyToSymbol). Returns null
// when the address is not a registered symbol; *bytes receives its size.
// Symbols register themselves when declared with HOSTGPU_DEVICE_CONSTANT; a
// device's storage starts as a copy of the declaration's initial image.
void* constant_symbol_storage(const void* symbol, int device, size_t* bytes);

// Kernel trampolines: the launch path of cudaLaunchKernel turns the untyped
// argument array back into a call of the kernel function.
using KernelInvoker = void (*)(const void* kernel, void** args);
void register_kernel(const void* kernel, KernelInvoker invoke);
KernelInvoker find_kernel(const void* kernel);

// Launch side: the byte size and alignment of each kernel parameter, in order.
// A launch copies each value to an address aligned for it, as a GPU's
// parameter space does. Defined by the runtime.
struct KernelParameter {
  size_t size = 0;
  size_t alignment = 1;
};
void register_kernel_parameters(const void* kernel, const KernelParameter* parameters, size_t count);

// What a kernel was compiled with, beyond what its launch says: registers
// per thread and static shared memory per block. The runtime reports them in
// cudaFuncGetAttributes and counts them in the blocks an SM admits; a kernel
// that declares none is taken to need neither.
struct KernelFootprint {
  int registers_per_thread = 0;
  int static_shared_bytes = 0;
};
void register_kernel_footprint(const void* kernel, const KernelFootprint& footprint);
// False when the kernel declared none.
bool find_kernel_footprint(const void* kernel, KernelFootprint* footprint);

template <typename... Params>
void register_kernel_parameters(void (*kernel)(Params...)) {
  const KernelParameter parameters[] = {{sizeof(Params), alignof(Params)}..., {0, 1}};
  register_kernel_parameters(reinterpret_cast<const void*>(kernel), parameters, sizeof...(Params));
}

}  // namespace hostgpu
