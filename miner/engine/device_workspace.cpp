#include "engine/device_workspace.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/config.h"
#include "engine/mining_shape.h"

namespace {

constexpr const char* kMalloc = "cudaMalloc";

// Zeroes the bytes of a padded matrix past its rows x k content.
void clear_padding(const DeviceBuffer<int8_t>& buffer, uint64_t content_bytes) {
  if (!buffer.data || buffer.count <= content_bytes) return;
  check_cuda(cudaMemset(buffer.data + content_bytes, 0, buffer.count - content_bytes),
             "clear matrix padding");
}

}  // namespace

DeviceWorkspace::DeviceWorkspace(const Config& shape, const GpuBackendDescriptor& row,
                                 bool snapshots) {
  try {
    allocate(shape, row, snapshots);
  } catch (...) {
    release();
    throw;
  }
}

DeviceWorkspace::~DeviceWorkspace() { release(); }

void DeviceWorkspace::allocate(const Config& shape, const GpuBackendDescriptor& row,
                               bool snapshots) {
  if (shape.m < 1 || shape.n < 1 || shape.k < 1 || shape.rank < 1) {
    throw std::runtime_error("DeviceWorkspace: m, n, k and rank must be at least 1");
  }
  if (!row.signal_header_bytes || !row.signal_sync_bytes) {
    throw std::runtime_error(std::string("backend ") + row.name +
                             " is not available in this build");
  }
  signal_header_bytes = row.signal_header_bytes();
  if (signal_header_bytes < sizeof(HostSignalHeader)) {
    throw std::runtime_error(std::string("backend ") + row.name + " reports a signal header of " +
                             std::to_string(signal_header_bytes) + " bytes, below " +
                             std::to_string(sizeof(HostSignalHeader)));
  }
  const uint64_t a_bytes = static_cast<uint64_t>(matrix_bytes(shape.m, shape.k));
  const uint64_t b_bytes = static_cast<uint64_t>(matrix_bytes(shape.n, shape.k));
  const uint64_t a_padded = padded_matrix_bytes(shape.m, shape.k);
  const uint64_t b_padded = padded_matrix_bytes(shape.n, shape.k);
  const uint64_t rank = static_cast<uint64_t>(shape.rank);
  const uint64_t k = static_cast<uint64_t>(shape.k);
  // One scratch size for both, since B is hashed with A's scratch on one stream.
  const uint64_t hash_blocks =
      std::max(tensor_hash_blocks(shape.m, shape.k), tensor_hash_blocks(shape.n, shape.k));

  a = allocate_device_buffer<int8_t>(a_padded, kMalloc);
  b = allocate_device_buffer<int8_t>(b_padded, kMalloc);
  tree_a = merkle_tree_levels(a_bytes);
  tree_b = merkle_tree_levels(b_bytes);
  nodes_a = allocate_device_buffer<uint8_t>(tree_a.total * 32, kMalloc);
  nodes_b = allocate_device_buffer<uint8_t>(tree_b.total * 32, kMalloc);

  proof_buffer = allocate_device_buffer<uint8_t>(kProofBufferBytes, kMalloc);
  chunk_jobs = allocate_device_buffer<uint8_t>(kChunkCopyJobs * kGpuProofCopyJobBytes, kMalloc);
  node_jobs = allocate_device_buffer<uint8_t>(kNodeCopyJobs * kGpuProofCopyJobBytes, kMalloc);

  a_row_factor = allocate_device_buffer<int8_t>(static_cast<uint64_t>(shape.m) * rank, kMalloc);
  b_row_factor = allocate_device_buffer<int8_t>(static_cast<uint64_t>(shape.n) * rank, kMalloc);
  a_col_factor = allocate_device_buffer<int8_t>(rank * k, kMalloc);
  b_col_factor = allocate_device_buffer<int8_t>(rank * k, kMalloc);
  a_noised = allocate_device_buffer<int8_t>(a_padded, kMalloc);
  b_noised = allocate_device_buffer<int8_t>(b_padded, kMalloc);
  a_index0 = allocate_device_buffer<int16_t>(k, kMalloc);
  a_index1 = allocate_device_buffer<int16_t>(k, kMalloc);
  b_index0 = allocate_device_buffer<int16_t>(k, kMalloc);
  b_index1 = allocate_device_buffer<int16_t>(k, kMalloc);

  key = allocate_device_buffer<uint8_t>(32, kMalloc);
  a_root = allocate_device_buffer<uint8_t>(32, kMalloc);
  b_root = allocate_device_buffer<uint8_t>(32, kMalloc);
  a_noise_seed = allocate_device_buffer<uint8_t>(32, kMalloc);
  b_noise_seed = allocate_device_buffer<uint8_t>(32, kMalloc);
  a_block_roots = allocate_device_buffer<uint8_t>(hash_blocks * 32, kMalloc);
  b_block_roots = allocate_device_buffer<uint8_t>(hash_blocks * 32, kMalloc);
  target = allocate_device_buffer<uint32_t>(8, kMalloc);
  extra = allocate_device_buffer<uint32_t>(1, kMalloc);
  signal_sync = allocate_device_buffer<uint8_t>(row.signal_sync_bytes(), kMalloc);

  if (snapshots) {
    free_device_buffer(a_snapshot);
    a_snapshot = allocate_device_buffer<int8_t>(a_padded, kMalloc);
    free_device_buffer(b_snapshot);
    b_snapshot = allocate_device_buffer<int8_t>(b_padded, kMalloc);
    free_device_buffer(key_snapshot);
    key_snapshot = allocate_device_buffer<uint8_t>(32, kMalloc);
  }

  void* header = nullptr;
  check_cuda(cudaHostAlloc(&header, signal_header_bytes, cudaHostAllocDefault),
             "cudaHostAlloc signal header");
  signal_header = static_cast<HostSignalHeader*>(header);

  // The kernels count in extra across launches; it starts from zero once.
  check_cuda(cudaMemset(extra.data, 0, sizeof(uint32_t)), "clear extra counter");
  for (const auto& [buffer, content] :
       {std::pair{a, a_bytes}, std::pair{b, b_bytes}, std::pair{a_noised, a_bytes},
        std::pair{b_noised, b_bytes}, std::pair{a_snapshot, a_bytes},
        std::pair{b_snapshot, b_bytes}}) {
    clear_padding(buffer, content);
  }
}

void DeviceWorkspace::release() noexcept {
  if (signal_header) cudaFreeHost(signal_header);
  signal_header = nullptr;
  free_device_buffer(signal_sync);
  free_device_buffer(extra);
  free_device_buffer(target);
  free_device_buffer(b_block_roots);
  free_device_buffer(a_block_roots);
  free_device_buffer(b_noise_seed);
  free_device_buffer(a_noise_seed);
  free_device_buffer(b_root);
  free_device_buffer(a_root);
  free_device_buffer(key_snapshot);
  free_device_buffer(key);
  free_device_buffer(b_index1);
  free_device_buffer(b_index0);
  free_device_buffer(a_index1);
  free_device_buffer(a_index0);
  free_device_buffer(b_noised);
  free_device_buffer(a_noised);
  free_device_buffer(b_col_factor);
  free_device_buffer(a_col_factor);
  free_device_buffer(b_row_factor);
  free_device_buffer(a_row_factor);
  free_device_buffer(node_jobs);
  free_device_buffer(chunk_jobs);
  free_device_buffer(proof_buffer);
  free_device_buffer(nodes_b);
  free_device_buffer(nodes_a);
  free_device_buffer(b_snapshot);
  free_device_buffer(a_snapshot);
  free_device_buffer(b);
  free_device_buffer(a);
  tree_a = TreeLevels{};
  tree_b = TreeLevels{};
}
