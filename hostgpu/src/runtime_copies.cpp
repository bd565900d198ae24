// Copies and fills: blocking ones on the legacy stream, asynchronous ones in
// stream order. Pageable host sources are read when the call is made.
#include <cstring>
#include <memory>
#include <vector>

#include "hostgpu/executor.h"
#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

bool device_accessible(const Platform& p, const void* address, size_t bytes) {
  return find_allocation(p, address, bytes) != nullptr;
}

cudaError_t check_copy(const Platform& p, void* dst, const void* src, size_t bytes,
                       cudaMemcpyKind kind) {
  if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
  switch (kind) {
    case cudaMemcpyHostToHost:
    case cudaMemcpyDefault:
      return cudaSuccess;
    case cudaMemcpyHostToDevice:
      return device_accessible(p, dst, bytes) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToHost:
      return device_accessible(p, src, bytes) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToDevice:
      return device_accessible(p, dst, bytes) && device_accessible(p, src, bytes)
                 ? cudaSuccess
                 : cudaErrorInvalidValue;
    default:
      return cudaErrorInvalidMemcpyDirection;
  }
}

// Pageable host memory is any host memory the runtime did not allocate.
bool pageable(const Platform& p, const void* address, size_t bytes) {
  return !device_accessible(p, address, bytes);
}

// Constant memory is device memory that lives outside the allocations.
enum class SymbolSide { none, destination, source };

// The copy as a stream operation, its source captured now when it is pageable host memory.
std::function<void()> copy_work(const Platform& p, void* dst, const void* src, size_t bytes,
                                 SymbolSide symbol) {
  if (symbol != SymbolSide::source && pageable(p, src, bytes)) {
    auto captured = std::make_shared<std::vector<char>>(static_cast<const char*>(src),
                                                        static_cast<const char*>(src) + bytes);
    return [dst, captured] { std::memcpy(dst, captured->data(), captured->size()); };
  }
  return [dst, src, bytes] { std::memmove(dst, src, bytes); };
}

// Enqueues a copy; a copy into pageable host memory is complete when the call returns.
cudaError_t enqueue_copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                         cudaStream_t handle, bool blocking,
                         SymbolSide symbol = SymbolSide::none) {
  if (bytes == 0) return cudaSuccess;
  auto lock = lock_platform();
  Platform& p = platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, handle, &error);
  if (!stream) return fail(error);
  error = check_copy(p, dst, src, bytes, kind);
  if (error != cudaSuccess) return fail(error);
  const StreamPoint point = enqueue(p, stream, copy_work(p, dst, src, bytes, symbol));
  const bool into_pageable = symbol != SymbolSide::destination && pageable(p, dst, bytes);
  if (blocking || into_pageable) run_until(point);
  return report(device_fault(p, stream->device));
}

cudaError_t enqueue_fill(void* dst, int value, size_t bytes, cudaStream_t handle, bool blocking) {
  if (bytes == 0) return cudaSuccess;
  auto lock = lock_platform();
  Platform& p = platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, handle, &error);
  if (!stream) return fail(error);
  // Device memory or pinned host memory; pageable host memory is not reachable.
  if (dst == nullptr || !device_accessible(p, dst, bytes)) return fail(cudaErrorInvalidValue);
  const StreamPoint point =
      enqueue(p, stream, [dst, value, bytes] { std::memset(dst, value, bytes); });
  if (blocking) run_until(point);
  return report(device_fault(p, stream->device));
}

cudaError_t symbol_range(const void* symbol, size_t bytes, size_t offset, char** storage) {
  size_t symbol_bytes = 0;
  void* base = hostgpu::constant_symbol_storage(symbol, current_device(), &symbol_bytes);
  if (base == nullptr) return cudaErrorInvalidSymbol;
  if (offset > symbol_bytes || bytes > symbol_bytes - offset) return cudaErrorInvalidValue;
  *storage = static_cast<char*>(base) + offset;
  return cudaSuccess;
}

cudaError_t copy_to_symbol(const void* symbol, const void* src, size_t bytes, size_t offset,
                           cudaMemcpyKind kind, cudaStream_t handle, bool blocking) {
  if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice &&
      kind != cudaMemcpyDefault) {
    return fail(cudaErrorInvalidMemcpyDirection);
  }
  auto lock = lock_platform();
  const cudaError_t ready = check_ready(platform());
  if (ready != cudaSuccess) return fail(ready);
  char* storage = nullptr;
  const cudaError_t error = symbol_range(symbol, bytes, offset, &storage);
  if (error != cudaSuccess) return fail(error);
  if (kind == cudaMemcpyDeviceToDevice && !device_accessible(platform(), src, bytes)) {
    return fail(cudaErrorInvalidValue);
  }
  return enqueue_copy(storage, src, bytes, cudaMemcpyDefault, handle, blocking,
                      SymbolSide::destination);
}

cudaError_t copy_from_symbol(void* dst, const void* symbol, size_t bytes, size_t offset,
                             cudaMemcpyKind kind, cudaStream_t handle, bool blocking) {
  if (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice &&
      kind != cudaMemcpyDefault) {
    return fail(cudaErrorInvalidMemcpyDirection);
  }
  auto lock = lock_platform();
  const cudaError_t ready = check_ready(platform());
  if (ready != cudaSuccess) return fail(ready);
  char* storage = nullptr;
  const cudaError_t error = symbol_range(symbol, bytes, offset, &storage);
  if (error != cudaSuccess) return fail(error);
  return enqueue_copy(dst, storage, bytes, cudaMemcpyDefault, handle, blocking,
                      SymbolSide::source);
}

}  // namespace

extern "C" {

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  return enqueue_copy(dst, src, bytes, kind, nullptr, true);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  return enqueue_copy(dst, src, bytes, kind, stream, false);
}

cudaError_t cudaMemset(void* dst, int value, size_t bytes) {
  return enqueue_fill(dst, value, bytes, nullptr, true);
}

cudaError_t cudaMemsetAsync(void* dst, int value, size_t bytes, cudaStream_t stream) {
  return enqueue_fill(dst, value, bytes, stream, false);
}

cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t bytes, size_t offset,
                               cudaMemcpyKind kind) {
  return copy_to_symbol(symbol, src, bytes, offset, kind, nullptr, true);
}

cudaError_t cudaMemcpyToSymbolAsync(const void* symbol, const void* src, size_t bytes,
                                    size_t offset, cudaMemcpyKind kind, cudaStream_t stream) {
  return copy_to_symbol(symbol, src, bytes, offset, kind, stream, false);
}

cudaError_t cudaMemcpyFromSymbol(void* dst, const void* symbol, size_t bytes, size_t offset,
                                 cudaMemcpyKind kind) {
  return copy_from_symbol(dst, symbol, bytes, offset, kind, nullptr, true);
}

cudaError_t cudaMemcpyFromSymbolAsync(void* dst, const void* symbol, size_t bytes, size_t offset,
                                      cudaMemcpyKind kind, cudaStream_t stream) {
  return copy_from_symbol(dst, symbol, bytes, offset, kind, stream, false);
}

}  // extern "C"
