#pragma once
// The executor's check of an mbarrier use by the running thread.
namespace hostgpu::detail {

class ClusterRun;

struct BarrierUse {
  ClusterRun* cluster;
  unsigned rank;  // of the block whose shared memory holds the barrier
};

// Faults (naming the barrier, its block and `what`) unless the running
// thread may use the barrier now: see device_mbarrier.h.
BarrierUse check_barrier_use(const void* barrier, const char* what);

// check_barrier_use, and faults unless the barrier's initialisation was
// fenced for the async proxy: for a bulk copy that counts its bytes on it.
BarrierUse check_async_barrier_use(const void* barrier, const char* what);

}  // namespace hostgpu::detail
