// Which blocks a two-CTA tcgen05 instruction reaches: the blocks of the
// running block's cluster, each with its dynamic shared memory and the tensor
// memory of the SM it is resident on.
#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/tcgen05.h"

namespace hostgpu::tcgen05::detail {

unsigned cluster_rank() { return cluster_place().rank; }

unsigned cluster_block_count() { return cluster_place().blocks; }

bool cluster_block_view(unsigned rank, PairHalf* view) {
  hostgpu::detail::BlockRun* block = hostgpu::detail::running_block();
  if (block == nullptr || rank >= cluster_place().blocks) return false;
  hostgpu::detail::ClusterRun& cluster = block->cluster();
  if (cluster.exited(rank)) hostgpu::detail::fault("a tcgen05 instruction reaches a block of the cluster that has exited");
  hostgpu::detail::GridRun& grid = cluster.grid();
  view->shared = static_cast<const unsigned char*>(block_dynamic_shared(rank));
  view->shared_bytes = static_cast<uint32_t>(max_dynamic_shared_bytes);
  view->tensor_memory = grid.sm_tensor_memory(grid.slot(cluster.slot_of(rank)).sm).memory.get();
  return true;
}

}  // namespace hostgpu::tcgen05::detail
