#pragma once
// The B300 row multiplies in bfloat16 with f32 sums: its transcripts are exact
// only if the tensor core adds each rank step's products (up to 2^14 each,
// sums below 2^21) without dropping bits below the largest term, which the
// PTX ISA does not promise. Before the row mines on a device, one adversarial
// tile mined by the row's own kernel must give the transcript the CPU
// computes; otherwise the miner stops.
#include <cstdint>
#include <vector>

#include "backends/backend_descriptor.h"

// The check's operands, k = 128 (one rank step): A and B rows of k int8
// values where every even k holds -128 (products of 16384) and every odd k
// +-1 (products of +-1, signs varying with the row and k), so that each sum
// is about 2^20 plus small terms.
std::vector<int8_t> exactness_rows(int rows, uint32_t salt);

// Runs the check when `row` is the B300 row; throws a runtime error naming
// the row, the device and the first differing word when the kernel's
// transcript is not the CPU's.
void check_bf16_exactness(const GpuBackendDescriptor& row, const cudaDeviceProp& prop, int device);
