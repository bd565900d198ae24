#include "core/cuda_streams.h"

#include <utility>

#include "core/cuda_check.h"

namespace {

void release_stream(cudaStream_t& stream) {
  if (stream) cudaStreamDestroy(stream);
  stream = nullptr;
}

void create_priority_stream(cudaStream_t& stream, const char* step, bool greatest_priority) {
  release_stream(stream);
  int least = 0;
  int greatest = 0;
  check_cuda(cudaDeviceGetStreamPriorityRange(&least, &greatest), step);
  check_cuda(cudaStreamCreateWithPriority(&stream, cudaStreamNonBlocking,
                                          greatest_priority ? greatest : least),
             step);
}

}  // namespace

void create_low_priority_stream(cudaStream_t& stream, const char* step) {
  create_priority_stream(stream, step, false);
}

void create_high_priority_stream(cudaStream_t& stream, const char* step) {
  create_priority_stream(stream, step, true);
}

void create_nonblocking_stream(cudaStream_t& stream, const char* step) {
  release_stream(stream);
  check_cuda(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), step);
}

CudaEventHolder::CudaEventHolder(CudaEventHolder&& other) noexcept
    : event(std::exchange(other.event, nullptr)) {}

CudaEventHolder& CudaEventHolder::operator=(CudaEventHolder&& other) noexcept {
  if (this != &other) {
    if (event) cudaEventDestroy(event);
    event = std::exchange(other.event, nullptr);
  }
  return *this;
}

CudaEventHolder::~CudaEventHolder() {
  if (event) cudaEventDestroy(event);
}

CudaEventHolder create_event(const char* step) {
  CudaEventHolder holder;
  check_cuda(cudaEventCreate(&holder.event), step);
  return holder;
}

CudaEventHolder create_untimed_event(const char* step) {
  CudaEventHolder holder;
  check_cuda(cudaEventCreateWithFlags(&holder.event, cudaEventDisableTiming), step);
  return holder;
}
