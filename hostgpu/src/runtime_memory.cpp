// Device and pinned host memory: host memory, with a cap per device.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

constexpr size_t kAlignment = 256;  // what cudaMalloc guarantees
constexpr unsigned char kPoison = 0xA5;

cudaError_t allocate(Platform& p, size_t bytes, int device, bool pinned, void** out) {
  if (bytes > SIZE_MAX - kAlignment) return cudaErrorMemoryAllocation;
  void* block = std::calloc(1, bytes + kAlignment);
  if (block == nullptr) return cudaErrorMemoryAllocation;
  const uintptr_t raw = reinterpret_cast<uintptr_t>(block);
  char* base = reinterpret_cast<char*>((raw + kAlignment - 1) & ~(uintptr_t{kAlignment} - 1));
  if (p.poison) std::memset(base, kPoison, bytes);
  Allocation a;
  a.base = base;
  a.block = block;
  a.bytes = bytes;
  a.device = device;
  a.pinned = pinned;
  p.allocations[reinterpret_cast<uintptr_t>(base)] = a;
  if (!pinned) p.device_bytes_in_use[device] += bytes;
  *out = base;
  return cudaSuccess;
}

cudaError_t release(Platform& p, void* address, bool pinned) {
  auto found = p.allocations.find(reinterpret_cast<uintptr_t>(address));
  if (found == p.allocations.end() || found->second.pinned != pinned) return cudaErrorInvalidValue;
  // Freeing waits for the device's pending work, which may still use the memory.
  drain_device(p, found->second.device);
  if (!pinned) p.device_bytes_in_use[found->second.device] -= found->second.bytes;
  std::free(found->second.block);
  p.allocations.erase(found);
  return cudaSuccess;
}

}  // namespace

const Allocation* find_allocation(const Platform& p, const void* address, size_t bytes) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
  auto after = p.allocations.upper_bound(begin);
  if (after == p.allocations.begin()) return nullptr;
  const Allocation& a = std::prev(after)->second;
  const uintptr_t base = reinterpret_cast<uintptr_t>(a.base);
  if (begin - base > a.bytes || bytes > a.bytes - (begin - base)) return nullptr;
  return &a;
}

bool is_pinned(const Platform& p, const void* address, size_t bytes) {
  const Allocation* a = find_allocation(p, address, bytes);
  return a != nullptr && a->pinned;
}

}  // namespace hostgpu::runtime

using namespace hostgpu::runtime;

extern "C" {

cudaError_t cudaMalloc(void** pointer, size_t bytes) {
  if (pointer == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  *pointer = nullptr;
  if (bytes == 0) return cudaSuccess;
  const int device = current_device();
  const size_t cap = p.devices[device].memory_bytes;
  if (bytes > cap - p.device_bytes_in_use[device]) return fail(cudaErrorMemoryAllocation);
  return report(allocate(p, bytes, device, false, pointer));
}

cudaError_t cudaFree(void* pointer) {
  if (pointer == nullptr) return cudaSuccess;
  auto lock = lock_platform();
  return report(release(platform(), pointer, false));
}

cudaError_t cudaHostAlloc(void** pointer, size_t bytes, unsigned int flags) {
  const unsigned int known = cudaHostAllocPortable | cudaHostAllocMapped | cudaHostAllocWriteCombined;
  if (pointer == nullptr || (flags & ~known) != 0) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  *pointer = nullptr;
  if (bytes == 0) return cudaSuccess;
  return report(allocate(p, bytes, current_device(), true, pointer));
}

cudaError_t cudaMallocHost(void** pointer, size_t bytes) {
  return cudaHostAlloc(pointer, bytes, cudaHostAllocDefault);
}

cudaError_t cudaFreeHost(void* pointer) {
  if (pointer == nullptr) return cudaSuccess;
  auto lock = lock_platform();
  return report(release(platform(), pointer, true));
}

cudaError_t cudaHostGetDevicePointer(void** device_pointer, void* host_pointer, unsigned int flags) {
  if (device_pointer == nullptr || flags != 0) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  if (!is_pinned(platform(), host_pointer, 0)) return fail(cudaErrorInvalidValue);
  *device_pointer = host_pointer;  // unified addressing: the same address
  return cudaSuccess;
}

}  // extern "C"
