// The block's dynamic shared memory: one buffer per host thread, under the
// name CUTLASS's kernel entry point declares (`extern __shared__ char smem[]`
// in namespace cutlass), so that cutlass::device_kernel runs unchanged.
#include "exec_state.h"
#include "hostgpu/device_shared.h"

namespace {
char first_byte() {
  volatile char zero = 0;
  return zero;
}
}  // namespace

namespace cutlass {
// Initialised dynamically on purpose: units that declare it `extern` call its
// per-host-thread init function, which g++ only emits for dynamic initialisation.
alignas(1024) thread_local char smem[hostgpu::max_dynamic_shared_bytes] = {first_byte()};
}  // namespace cutlass

namespace hostgpu::detail {

void* dynamic_shared_base() { return execution_state().dynamic_shared; }

unsigned char* host_thread_dynamic_shared() { return reinterpret_cast<unsigned char*>(cutlass::smem); }

}  // namespace hostgpu::detail
