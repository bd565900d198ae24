// The kernels' invokers and declared footprints, by the kernel's address
// (what cudaLaunchKernel gets).
#include <mutex>
#include <unordered_map>

#include "hostgpu/executor.h"

namespace hostgpu {
namespace {

struct KernelRegistry {
  std::mutex mutex;
  std::unordered_map<const void*, KernelInvoker> invokers;
  std::unordered_map<const void*, KernelFootprint> footprints;
};

KernelRegistry& registry() {
  static KernelRegistry instance;
  return instance;
}

}  // namespace

void register_kernel(const void* kernel, KernelInvoker invoke) {
  KernelRegistry& kernels = registry();
  std::lock_guard<std::mutex> lock(kernels.mutex);
  kernels.invokers[kernel] = invoke;
}

KernelInvoker find_kernel(const void* kernel) {
  KernelRegistry& kernels = registry();
  std::lock_guard<std::mutex> lock(kernels.mutex);
  const auto found = kernels.invokers.find(kernel);
  return found == kernels.invokers.end() ? nullptr : found->second;
}

void register_kernel_footprint(const void* kernel, const KernelFootprint& footprint) {
  KernelRegistry& kernels = registry();
  std::lock_guard<std::mutex> lock(kernels.mutex);
  kernels.footprints[kernel] = footprint;
}

bool find_kernel_footprint(const void* kernel, KernelFootprint* footprint) {
  KernelRegistry& kernels = registry();
  std::lock_guard<std::mutex> lock(kernels.mutex);
  const auto found = kernels.footprints.find(kernel);
  if (found == kernels.footprints.end()) return false;
  *footprint = found->second;
  return true;
}

}  // namespace hostgpu
