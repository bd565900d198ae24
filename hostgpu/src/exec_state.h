#pragma once
// What the executor knows about the grid that the calling host thread runs:
// the device whose constant memory kernels read, and the block's dynamic
// shared memory.
#include <cstddef>
#include <utility>
#include <vector>

namespace hostgpu::detail {

struct ExecutionState {
  int device = -1;                       // -1: no grid is running on this host thread
  int compute_capability = 0;            // of that device: major x 10 + minor
  int registers_per_thread = 0;          // the kernel was compiled with; 0: not declared
  unsigned char* dynamic_shared = nullptr;
};

ExecutionState& execution_state();

// The calling host thread's dynamic shared memory (max_dynamic_shared_bytes).
unsigned char* host_thread_dynamic_shared();

// The calling host thread's cache of device-constant reads, set up now: the
// one piece of the executor's thread-local state that poisoning must spare.
void* constant_read_cache(size_t* bytes);

// The thread-local objects of the fiber switch, set up now (none unless
// fibers switch with ucontext).
void fiber_thread_state(std::vector<std::pair<const void*, size_t>>* objects);

}  // namespace hostgpu::detail
