#pragma once
// Every GPU buffer one mining attempt and one GPU proof need on one device.
#include <cstdint>

#include "backends/backend_descriptor.h"
#include "backends/kernel_signal.h"
#include "engine/device_buffer.h"
#include "engine/tree_levels.h"

struct Config;

// The GPU proof's copy jobs are 24-byte records; the proof builder lays them out.
constexpr uint64_t kGpuProofCopyJobBytes = 24;
constexpr uint64_t kProofBufferBytes = 1048576;
constexpr uint64_t kChunkCopyJobs = 1024;
constexpr uint64_t kNodeCopyJobs = 4096;

class DeviceWorkspace {
 public:
  // Allocates every buffer for the Config's m, n, k and rank; the proof
  // snapshots of A, B and the key only when asked. Throws the failed step;
  // whatever was already allocated is released first.
  DeviceWorkspace(const Config& shape, const GpuBackendDescriptor& row, bool snapshots);
  ~DeviceWorkspace();
  DeviceWorkspace(const DeviceWorkspace&) = delete;
  DeviceWorkspace& operator=(const DeviceWorkspace&) = delete;

  // A, B and the matrices derived from them are allocated in whole 1024-byte
  // leaves (the tensor hash reads whole leaves); the tail past rows x k is
  // zeroed once and never written afterwards.
  DeviceBuffer<int8_t> a;
  DeviceBuffer<int8_t> b;
  DeviceBuffer<int8_t> a_snapshot;
  DeviceBuffer<int8_t> b_snapshot;
  TreeLevels tree_a;
  TreeLevels tree_b;
  DeviceBuffer<uint8_t> nodes_a;
  DeviceBuffer<uint8_t> nodes_b;
  DeviceBuffer<uint8_t> proof_buffer;
  DeviceBuffer<uint8_t> chunk_jobs;  // kChunkCopyJobs records of kGpuProofCopyJobBytes
  DeviceBuffer<uint8_t> node_jobs;   // kNodeCopyJobs records of kGpuProofCopyJobBytes
  DeviceBuffer<int8_t> a_row_factor;
  DeviceBuffer<int8_t> b_row_factor;
  DeviceBuffer<int8_t> a_col_factor;
  DeviceBuffer<int8_t> b_col_factor;
  DeviceBuffer<int8_t> a_noised;
  DeviceBuffer<int8_t> b_noised;
  DeviceBuffer<int16_t> a_index0;
  DeviceBuffer<int16_t> a_index1;
  DeviceBuffer<int16_t> b_index0;
  DeviceBuffer<int16_t> b_index1;
  DeviceBuffer<uint8_t> key;
  DeviceBuffer<uint8_t> key_snapshot;
  DeviceBuffer<uint8_t> a_root;
  DeviceBuffer<uint8_t> b_root;
  DeviceBuffer<uint8_t> a_noise_seed;
  DeviceBuffer<uint8_t> b_noise_seed;
  DeviceBuffer<uint8_t> a_block_roots;
  DeviceBuffer<uint8_t> b_block_roots;
  DeviceBuffer<uint32_t> target;
  DeviceBuffer<uint32_t> extra;
  DeviceBuffer<uint8_t> signal_sync;
  HostSignalHeader* signal_header = nullptr;
  uint64_t signal_header_bytes = 0;

  HostSignalSync* sync_word() const { return reinterpret_cast<HostSignalSync*>(signal_sync.data); }

 private:
  void allocate(const Config& shape, const GpuBackendDescriptor& row, bool snapshots);
  void release() noexcept;
};
