#pragma once
// Device allocations as the engine holds them: a typed pointer with its
// element count, and a single owner that frees one.
#include <cstdint>
#include <utility>

#include "core/cuda_check.h"
#include "core/gpu_api.h"

template <typename T>
struct DeviceBuffer {
  T* data = nullptr;
  uint64_t count = 0;
};

// cudaMalloc of count elements; a count of 0 leaves the buffer absent.
template <typename T>
DeviceBuffer<T> allocate_device_buffer(uint64_t count, const char* step) {
  DeviceBuffer<T> buffer;
  if (count == 0) return buffer;
  void* pointer = nullptr;
  check_cuda(cudaMalloc(&pointer, count * sizeof(T)), step);
  buffer.data = static_cast<T*>(pointer);
  buffer.count = count;
  return buffer;
}

template <typename T>
void free_device_buffer(DeviceBuffer<T>& buffer) {
  if (buffer.data) cudaFree(buffer.data);
  buffer = DeviceBuffer<T>{};
}

// Frees its buffer when destroyed or replaced.
template <typename T>
class OwnedDeviceBuffer {
 public:
  OwnedDeviceBuffer() = default;
  explicit OwnedDeviceBuffer(DeviceBuffer<T> buffer) : buffer_(buffer) {}
  OwnedDeviceBuffer(const OwnedDeviceBuffer&) = delete;
  OwnedDeviceBuffer& operator=(const OwnedDeviceBuffer&) = delete;
  OwnedDeviceBuffer(OwnedDeviceBuffer&& other) noexcept
      : buffer_(std::exchange(other.buffer_, DeviceBuffer<T>{})) {}
  OwnedDeviceBuffer& operator=(OwnedDeviceBuffer&& other) noexcept {
    if (this != &other) {
      free_device_buffer(buffer_);
      buffer_ = std::exchange(other.buffer_, DeviceBuffer<T>{});
    }
    return *this;
  }
  ~OwnedDeviceBuffer() { free_device_buffer(buffer_); }

  T* data() const { return buffer_.data; }
  uint64_t count() const { return buffer_.count; }
  void reset() { free_device_buffer(buffer_); }

 private:
  DeviceBuffer<T> buffer_;
};
