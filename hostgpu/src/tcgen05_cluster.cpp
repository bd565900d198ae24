// Which blocks a two-CTA tcgen05 instruction reaches. Blocks run one at a
// time, so only the running block itself is resident: the pair forms fault
// until blocks of a cluster are co-scheduled.
#include "exec_block.h"
#include "exec_state.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/tcgen05.h"

namespace hostgpu::tcgen05::detail {

unsigned cluster_rank() { return 0; }

unsigned cluster_block_count() { return 1; }

bool cluster_block_view(unsigned rank, PairHalf* view) {
  if (rank != 0 || hostgpu::detail::running_block() == nullptr) return false;
  view->shared = static_cast<const unsigned char*>(hostgpu::detail::dynamic_shared_base());
  view->shared_bytes = static_cast<uint32_t>(max_dynamic_shared_bytes);
  view->tensor_memory = &hostgpu::detail::block_tensor_memory();
  return true;
}

}  // namespace hostgpu::tcgen05::detail
