#pragma once
// One constant row of operations per GPU backend. Callers test the optional
// slots for null; there is no class hierarchy and no virtual call.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "core/gpu_api.h"

struct Config;

using LaunchFillInt8 = cudaError_t (*)(int8_t* dst, int64_t count, uint64_t seed, cudaStream_t);
using LaunchGenerateNoise = cudaError_t (*)(int rank, int m, int n, int k, int8_t* a_left,
                                            int8_t* a_right, int8_t* b_right, int8_t* b_left,
                                            const uint8_t* seed_a, const uint8_t* seed_b,
                                            cudaStream_t);
using LaunchApplySparseNoise = cudaError_t (*)(const int8_t* operand, const int8_t* left,
                                               const int8_t* right, int8_t* noised,
                                               int16_t* index0, int16_t* index1, int rows, int k,
                                               int rank, cudaStream_t);
using LaunchHeadlessMine = cudaError_t (*)(const int8_t* a, const int8_t* b, int m, int n, int k,
                                           HostSignalHeader* header, HostSignalSync* sync,
                                           const uint32_t* target, const uint32_t* seed, int rank,
                                           uint32_t* extra, cudaStream_t);
using LaunchNoiseAndMine = cudaError_t (*)(
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, uint32_t* extra, cudaStream_t);
using LaunchNoiseAndMineDump = cudaError_t (*)(
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
    uint32_t* value_counts, int capacity, cudaStream_t);
using LaunchDumpHeadlessCoords = cudaError_t (*)(uint16_t* rows, uint16_t* cols,
                                                 int32_t* metadata, cudaStream_t);
using LaunchDebugGemmTile = cudaError_t (*)(const int8_t* a, const int8_t* b, int32_t* products,
                                            int32_t* counts, int m, int n, int k, cudaStream_t);
using ByteCountGetter = uint64_t (*)();
using TileGetter = int32_t (*)();

struct GpuBackendDescriptor {
  const char* name;
  LaunchFillInt8 launch_fill_int8;
  LaunchGenerateNoise launch_generate_noise;
  LaunchApplySparseNoise launch_apply_sparse_noise;  // split rows only
  LaunchHeadlessMine launch_headless_mine;           // split rows only
  LaunchNoiseAndMine launch_noise_and_mine;
  LaunchNoiseAndMineDump launch_noise_and_mine_dump;
  LaunchDumpHeadlessCoords launch_dump_headless_coords;
  LaunchDebugGemmTile launch_debug_gemm_tile;
  ByteCountGetter signal_header_bytes;
  ByteCountGetter signal_sync_bytes;
  TileGetter tile_m;       // optional
  TileGetter tile_n;       // optional
  TileGetter tile_k;       // optional
  TileGetter warp_tile_n;  // optional
};

// A split row applies sparse noise and mines in separate operations.
inline bool is_split_backend(const GpuBackendDescriptor& row) {
  return row.launch_apply_sparse_noise && row.launch_headless_mine;
}

// The row for a device: the forced name when one is configured, else by capability.
const GpuBackendDescriptor& select_backend(const Config& config, const cudaDeviceProp& prop);

// Separates the CMP 170HX from other capability 8.0 devices.
bool is_cmp170hx_device(const cudaDeviceProp& prop);
