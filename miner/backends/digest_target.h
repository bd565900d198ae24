#pragma once
// The share test of a transcript digest, for every mining kernel and every CPU
// reference: the 32-byte digest read as a 256-bit little-endian integer (eight
// little-endian words, word 0 least significant) hits when it is at most the
// target (eight words, word 0 least significant).
#include <cstdint>

#include "core/gpu_platform.h"

__host__ __device__ inline bool digest_meets_target(const uint32_t digest[8],
                                                    const uint32_t target[8]) {
  for (int i = 7; i >= 0; --i) {
    if (digest[i] != target[i]) return digest[i] < target[i];
  }
  return true;
}
