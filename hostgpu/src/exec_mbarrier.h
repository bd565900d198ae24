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

}  // namespace hostgpu::detail
