// Posted mbarrier arrivals (device_async_arrival.h).
#include <stdexcept>
#include <string>

#include "exec_block.h"
#include "hostgpu/device_async_arrival.h"
#include "hostgpu/device_mbarrier.h"

namespace hostgpu {
namespace {

void require_block(const char* what) {
  if (detail::running_block() == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
}

}  // namespace

void post_arrival(uint64_t* barrier, uint32_t count, ArrivalAction before_landing) {
  post_arrivals(&barrier, 1, count, std::move(before_landing));
}

void post_arrivals(uint64_t* const* barriers, size_t n, uint32_t count, ArrivalAction before_landing) {
  require_block("an mbarrier arrival");
  if (before_landing) before_landing();
  for (size_t i = 0; i < n; ++i) mbarrier::arrive(barriers[i], count);
}

}  // namespace hostgpu
