#pragma once
// The tensor-hash tuning values of the VEXAL_HASH_* variables.
#include <cstdint>

#include "core/gpu_api.h"

struct TensorHashSettings {
  uint32_t threads = 256;  // VEXAL_HASH_THREADS
  uint32_t stages = 4;     // VEXAL_HASH_STAGES
  uint32_t leaves = 256;   // VEXAL_HASH_LEAVES
};

// Unset, empty, not starting with a digit or 0 keeps a default; otherwise the
// leading base-10 digits, cut to 32 bits.
TensorHashSettings read_tensor_hash_settings();

// Refuses, naming the variable, a value the tensor hash would reject on this
// device (stages count only where the pipelined path runs).
void check_tensor_hash_settings(const TensorHashSettings& settings, const cudaDeviceProp& prop);
