#pragma once
#include "core/gpu_api.h"

// Stream makers: replace whatever stream the handle holds by a new non-blocking
// stream of the current device (at the least, the greatest or the default priority).
void create_low_priority_stream(cudaStream_t& stream, const char* step);
void create_high_priority_stream(cudaStream_t& stream, const char* step);
void create_nonblocking_stream(cudaStream_t& stream, const char* step);

// Owns one CUDA event (or none); destroys it with the holder.
struct CudaEventHolder {
  cudaEvent_t event = nullptr;

  CudaEventHolder() = default;
  CudaEventHolder(const CudaEventHolder&) = delete;
  CudaEventHolder& operator=(const CudaEventHolder&) = delete;
  CudaEventHolder(CudaEventHolder&& other) noexcept;
  CudaEventHolder& operator=(CudaEventHolder&& other) noexcept;
  ~CudaEventHolder();
};

CudaEventHolder create_event(const char* step);          // with timing
CudaEventHolder create_untimed_event(const char* step);  // ordering only
