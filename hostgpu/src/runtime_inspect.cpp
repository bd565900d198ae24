// Test inspection of the platform's state.
#include "hostgpu/inspect.h"
#include "runtime_state.h"

namespace hostgpu::inspect {

using runtime::lock_platform;
using runtime::platform;

void reinitialise() {
  auto lock = lock_platform();
  runtime::reset_platform();
}

bool deferred_streams() {
  auto lock = lock_platform();
  return platform().deferred;
}

PrimaryContextState primary_context(int device) {
  auto lock = lock_platform();
  const runtime::Platform& p = platform();
  if (!runtime::valid_device(p, device)) return {};
  return {p.primary_contexts[device].flags, p.primary_contexts[device].active};
}

void activate_primary_context(int device, unsigned int flags) {
  auto lock = lock_platform();
  runtime::Platform& p = platform();
  if (!runtime::valid_device(p, device)) return;
  p.primary_contexts[device].active = true;
  p.primary_contexts[device].flags = flags;
}

void activate_primary_context_at_next_set_flags(int device, unsigned int flags) {
  auto lock = lock_platform();
  runtime::Platform& p = platform();
  if (!runtime::valid_device(p, device)) return;
  p.primary_contexts[device].activates_at_next_set_flags = true;
  p.primary_contexts[device].flags_of_other_user = flags;
}

KernelAttributes kernel_attributes(const void* kernel, int device) {
  auto lock = lock_platform();
  const runtime::KernelAttributes a = platform().kernel_attributes[{kernel, device}];
  return {a.max_dynamic_shared_bytes, a.preferred_carveout, a.non_portable_cluster_size_allowed};
}

bool last_launch(LaunchRecord* out) {
  auto lock = lock_platform();
  const runtime::Platform& p = platform();
  if (!p.have_launch) return false;
  const runtime::LaunchRecord& l = p.last_launch;
  *out = {l.kernel, l.grid, l.block, l.cluster, l.dynamic_shared_bytes, l.device};
  return true;
}

size_t device_bytes_in_use(int device) {
  auto lock = lock_platform();
  const runtime::Platform& p = platform();
  return runtime::valid_device(p, device) ? p.device_bytes_in_use[device] : 0;
}

}  // namespace hostgpu::inspect
