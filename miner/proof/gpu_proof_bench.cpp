#include "proof/gpu_proof_bench.h"

#include <chrono>
#include <iostream>
#include <stdexcept>

#include "backends/backend_descriptor.h"
#include "core/codecs.h"
#include "core/config.h"
#include "core/cuda_check.h"
#include "core/primary_contexts.h"
#include "engine/tree_levels.h"
#include "proof/gpu_plain_proof.h"
#include "proof/gpu_proof_template.h"
#include "proof/plain_proof.h"
#include "proof/proof_bench_inputs.h"
#include "proof/proof_hash.h"
#include "proof/proof_modes.h"
#include "proof/steady_seconds.h"

namespace {

// One device allocation, released with its owner.
struct DeviceBytes {
  void* pointer = nullptr;
  uint64_t bytes = 0;

  explicit DeviceBytes(uint64_t size) : bytes(size) {
    if (size != 0) check_cuda(cudaMalloc(&pointer, size), "cudaMalloc");
  }
  DeviceBytes(const DeviceBytes&) = delete;
  DeviceBytes& operator=(const DeviceBytes&) = delete;
  ~DeviceBytes() {
    if (pointer != nullptr) cudaFree(pointer);
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(pointer);
  }
};

// The device buffers of one GPU proof of the benchmark's shape.
struct GpuProofBuffers {
  TreeLevels tree_a;
  TreeLevels tree_b;
  DeviceBytes a;
  DeviceBytes b;
  DeviceBytes key;
  DeviceBytes nodes_a;
  DeviceBytes nodes_b;
  DeviceBytes proof;
  DeviceBytes chunk_jobs;
  DeviceBytes node_jobs;

  GpuProofBuffers(uint64_t a_bytes, uint64_t b_bytes)
      : tree_a(merkle_tree_levels(a_bytes)),
        tree_b(merkle_tree_levels(b_bytes)),
        a(a_bytes),
        b(b_bytes),
        key(32),
        nodes_a(tree_a.total * kProofNodeBytes),
        nodes_b(tree_b.total * kProofNodeBytes),
        proof(kGpuProofBufferBytes),
        chunk_jobs(kGpuProofChunkJobSlots * sizeof(GpuProofChunkCopy)),
        node_jobs(kGpuProofNodeJobSlots * sizeof(GpuProofNodeCopy)) {}
};

void build_levels(const DeviceBytes& matrix, const DeviceBytes& key, const DeviceBytes& nodes,
                  const TreeLevels& levels) {
  build_merkle_levels_gpu(matrix.as<int8_t>(), matrix.bytes, key.as<uint8_t>(),
                          nodes.as<uint8_t>(), levels.offsets.data(),
                          static_cast<uint32_t>(levels.counts.size()), levels.counts.data(), 0);
}

}  // namespace

ProofBytesComparison compare_proof_bytes(const std::vector<uint8_t>& cpu,
                                         const std::vector<uint8_t>& gpu) {
  ProofBytesComparison result;
  const size_t common = std::min(cpu.size(), gpu.size());
  for (size_t i = 0; i < common; ++i) {
    if (cpu[i] != gpu[i]) {
      result.first_mismatch = i;
      return result;
    }
  }
  if (cpu.size() != gpu.size()) {
    result.first_mismatch = common;
    return result;
  }
  result.match = true;
  return result;
}

void report_gpu_proof_bench(std::ostream& out, const std::vector<uint8_t>& cpu,
                            const std::vector<uint8_t>& gpu, const GpuProofBenchTimes& times) {
  const std::array<uint8_t, 32> cpu_hash = proof_bytes_hash(cpu);
  const std::array<uint8_t, 32> gpu_hash = proof_bytes_hash(gpu);
  const ProofBytesComparison comparison = compare_proof_bytes(cpu, gpu);
  out << "gpu_proof_bench raw_bytes=" << gpu.size() << " cpu_raw_bytes=" << cpu.size()
      << " bytes_match=" << (comparison.match ? "true" : "false")
      << " first_mismatch=" << comparison.first_mismatch
      << " cpu_proof_hash=" << hex32(cpu_hash.data()) << " gpu_proof_hash=" << hex32(gpu_hash.data())
      << " cpu_seconds=" << times.cpu_seconds << " gpu_seconds=" << times.gpu_seconds
      << " compact_d2h_seconds=" << times.compact_d2h_seconds << "\n"
      << std::flush;
  if (!comparison.match) throw std::runtime_error("GPU proof bytes differ from CPU proof bytes");
}

int run_gpu_proof_bench(Config& config) {
  require_bench_shape(config, "--gpu-proof-bench");
  if (config.devices.empty()) config.devices.push_back(0);
  configure_cuda_primary_contexts(config);
  const Config shape = config;

  check_cuda(cudaSetDevice(shape.devices[0]), "cudaSetDevice");
  cudaDeviceProp prop{};
  check_cuda(cudaGetDeviceProperties(&prop, shape.devices[0]), "cudaGetDeviceProperties");
  const GpuBackendDescriptor& row = select_backend(shape, prop);
  std::cout << "mining_backend=" << row.name << "\n" << std::flush;

  const uint64_t a_bytes = static_cast<uint64_t>(matrix_bytes(shape.m, shape.k));
  const uint64_t b_bytes = static_cast<uint64_t>(matrix_bytes(shape.n, shape.k));
  GpuProofBuffers device(a_bytes, b_bytes);

  const OpenedRowsCols opened = bench_opened_rows_cols();
  const std::array<uint8_t, 32> key = bench_key();
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, a_bytes);
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, b_bytes);

  GpuProofBenchTimes times;
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<uint8_t> cpu =
      build_plain_proof(a.data(), a.data() + a.size(), b, opened, key.data(), shape);
  const auto t1 = std::chrono::steady_clock::now();
  times.cpu_seconds = steady_seconds(t0, t1);

  const auto t2 = std::chrono::steady_clock::now();
  check_cuda(cudaMemcpyAsync(device.a.pointer, a.data(), a_bytes, cudaMemcpyHostToDevice, 0),
             "copy bench A to GPU");
  check_cuda(cudaMemcpyAsync(device.b.pointer, b.data(), b_bytes, cudaMemcpyHostToDevice, 0),
             "copy bench B to GPU");
  check_cuda(cudaMemcpyAsync(device.key.pointer, key.data(), key.size(), cudaMemcpyHostToDevice, 0),
             "copy bench key to GPU");
  build_levels(device.a, device.key, device.nodes_a, device.tree_a);
  build_levels(device.b, device.key, device.nodes_b, device.tree_b);

  const GpuProofTemplate proof = build_plain_proof_from_trees(opened, shape, device.tree_a, device.tree_b);
  check_gpu_proof_capacity(proof, kGpuProofBufferBytes, kGpuProofChunkJobSlots, kGpuProofNodeJobSlots);
  check_cuda(cudaMemcpyAsync(device.proof.pointer, proof.bytes.data(), proof.bytes.size(),
                             cudaMemcpyHostToDevice, 0),
             "copy GPU proof template");
  if (!proof.chunk_jobs.empty()) {
    check_cuda(cudaMemcpyAsync(device.chunk_jobs.pointer, proof.chunk_jobs.data(),
                               proof.chunk_jobs.size() * sizeof(GpuProofChunkCopy),
                               cudaMemcpyHostToDevice, 0),
               "copy GPU proof chunk jobs");
  }
  if (!proof.node_jobs.empty()) {
    check_cuda(cudaMemcpyAsync(device.node_jobs.pointer, proof.node_jobs.data(),
                               proof.node_jobs.size() * sizeof(GpuProofNodeCopy),
                               cudaMemcpyHostToDevice, 0),
               "copy GPU proof node jobs");
  }
  launch_fill_proof(device.a.as<int8_t>(), device.b.as<int8_t>(), device.nodes_a.as<uint8_t>(),
                    device.nodes_b.as<uint8_t>(), device.chunk_jobs.as<GpuProofChunkCopy>(),
                    static_cast<uint32_t>(proof.chunk_jobs.size()),
                    device.node_jobs.as<GpuProofNodeCopy>(),
                    static_cast<uint32_t>(proof.node_jobs.size()), device.proof.as<uint8_t>(), 0);

  std::vector<uint8_t> gpu(proof.bytes.size(), 0);
  const auto t3 = std::chrono::steady_clock::now();
  check_cuda(cudaMemcpyAsync(gpu.data(), device.proof.pointer, gpu.size(), cudaMemcpyDeviceToHost, 0),
             "copy compact GPU proof");
  check_cuda(cudaStreamSynchronize(0), "GPU proof synchronize");
  const auto t4 = std::chrono::steady_clock::now();
  const auto t5 = std::chrono::steady_clock::now();
  times.gpu_seconds = steady_seconds(t2, t5);
  times.compact_d2h_seconds = steady_seconds(t3, t4);

  report_gpu_proof_bench(std::cout, cpu, gpu, times);
  return 0;
}
