#pragma once
// A CMP 170HX host device per test, device arrays that free themselves, and
// the last accepted launch.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/gpu_api.h"
#include "fresh_thread.h"
#include "hostgpu/inspect.h"

class HostDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

template <typename T>
struct DeviceArray {
  T* ptr = nullptr;
  size_t count = 0;

  explicit DeviceArray(size_t n) : count(n) {
    if (cudaMalloc(reinterpret_cast<void**>(&ptr), n * sizeof(T)) != cudaSuccess) ptr = nullptr;
    if (ptr) cudaMemset(ptr, 0, n * sizeof(T));
  }
  explicit DeviceArray(const std::vector<T>& values) : DeviceArray(values.size()) {
    cudaMemcpy(ptr, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice);
  }
  ~DeviceArray() { cudaFree(ptr); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;

  std::vector<T> download() const {
    std::vector<T> values(count);
    cudaMemcpy(values.data(), ptr, count * sizeof(T), cudaMemcpyDeviceToHost);
    return values;
  }
};

// The most recent accepted launch.
hostgpu::inspect::LaunchRecord last_launch();

// 32 pseudo-random bytes for a test seed.
std::vector<uint8_t> test_seed(uint8_t salt);
