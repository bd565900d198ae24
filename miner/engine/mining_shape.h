#pragma once
// What shapes the engine can mine, and the sizes that follow from a shape.
#include <cstdint>

#include "backends/backend_descriptor.h"

struct Config;

// Bytes of a rows x k int8 matrix rounded up to whole 1024-byte leaves.
uint64_t padded_matrix_bytes(int32_t rows, int32_t k);

// 256-leaf blocks of the tensor hash over one rows x k matrix.
uint32_t tensor_hash_blocks(int32_t rows, int32_t k);

// Throws unless the row holds the operations mining needs, naming the row.
void require_backend_built(const GpuBackendDescriptor& row);

// Throws, before anything is allocated, for a shape that the noise generation,
// the tensor hash or the row's mining launch would refuse. The k/rank rule
// comes first with its own text.
void check_mining_shape(const Config& shape, const GpuBackendDescriptor& row);
