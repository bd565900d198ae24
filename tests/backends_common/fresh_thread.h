#pragma once
#include <thread>

#include "core/gpu_api.h"

// Runs `body` on a new thread with device 0 current: state that belongs to
// the calling thread (the B300 slot's bfloat16 copies) starts empty.
template <typename Body>
void on_fresh_thread(Body&& body) {
  std::thread worker([&body] {
    cudaSetDevice(0);
    body();
  });
  worker.join();
}
