// Posted mbarrier arrivals (device_async_arrival.h): checked at post, landed
// at once or, with late arrivals, by the schedule (exec_grid_run.cpp).
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "exec_mbarrier.h"
#include "hostgpu/device_async_arrival.h"
#include "hostgpu/device_mbarrier.h"
#include "hostgpu/device_sync.h"

namespace hostgpu {

void post_arrival(uint64_t* barrier, uint32_t count, ArrivalAction before_landing) {
  post_arrivals(&barrier, 1, count, std::move(before_landing));
}

void post_arrivals(uint64_t* const* barriers, size_t n, uint32_t count, ArrivalAction before_landing) {
  detail::BlockRun* block = detail::running_block();
  if (block == nullptr) throw std::logic_error("an mbarrier arrival posted outside a kernel");
  std::vector<detail::GridRun::Target> targets;
  for (size_t i = 0; i < n; ++i) {
    const detail::BarrierUse use = detail::check_barrier_use(barriers[i], "an mbarrier arrival");
    targets.push_back(detail::GridRun::Target{barriers[i], count, use.cluster, use.rank});
  }
  detail::GridRun& grid = block->cluster().grid();
  if (!grid.settings().late_arrivals) {
    if (before_landing) before_landing();
    for (const detail::GridRun::Target& target : targets) mbarrier::apply_arrival(target.barrier, target.count);
    grid.note_change();
  } else {
    grid.post(*block, block->running_thread(), std::move(targets), std::move(before_landing));
  }
  detail::yield_point();
}

}  // namespace hostgpu
