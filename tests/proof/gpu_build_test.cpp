// The GPU build on the host device: node hashes equal the CPU tree's, the
// fill copies what the template asks, and the benchmark's comparison and the
// capacity refusals say what they must.
#include <gtest/gtest.h>

#include <hostgpu/inspect.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/cuda_check.h"
#include "engine/tree_levels.h"
#include "proof/gpu_plain_proof.h"
#include "proof/gpu_proof_bench.h"
#include "proof/gpu_proof_template.h"
#include "proof/merkle_tree_cpu.h"
#include "proof/plain_proof.h"
#include "proof_verifier.h"

namespace {

struct DeviceCopy {
  void* pointer = nullptr;
  explicit DeviceCopy(const void* host, size_t bytes) {
    check_cuda(cudaMalloc(&pointer, bytes == 0 ? 1 : bytes), "cudaMalloc");
    if (host != nullptr && bytes != 0) {
      check_cuda(cudaMemcpy(pointer, host, bytes, cudaMemcpyHostToDevice), "upload");
    }
  }
  ~DeviceCopy() { cudaFree(pointer); }
  template <typename T>
  T* as() const {
    return static_cast<T*>(pointer);
  }
};

std::vector<uint8_t> download(const DeviceCopy& device, size_t bytes) {
  std::vector<uint8_t> host(bytes);
  check_cuda(cudaMemcpy(host.data(), device.pointer, bytes, cudaMemcpyDeviceToHost), "download");
  return host;
}

std::vector<int8_t> matrix_of(uint64_t bytes) {
  std::vector<int8_t> matrix(bytes);
  for (uint64_t i = 0; i < bytes; ++i) matrix[i] = static_cast<int8_t>(i * 37 + (i >> 10));
  return matrix;
}

Key32 test_key() {
  Key32 key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 11 + 5);
  return key;
}

// Runs in both stream modes: the GPU build is queued on a stream of its own.
class GpuProofBuildTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
    setenv("HOSTGPU_STREAMS", GetParam(), 1);
    hostgpu::inspect::reinitialise();
    check_cuda(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), "stream");
  }
  void TearDown() override {
    cudaStreamDestroy(stream);
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }
  cudaStream_t stream = nullptr;
};

TEST_P(GpuProofBuildTest, NodeHashesEqualTheCpuTree) {
  const Key32 key = test_key();
  struct SizeCase {
    uint64_t bytes;
    size_t misalign;  // start the matrix off a word boundary
  };
  const SizeCase cases[] = {{1, 0},        {1024, 0},     {1025, 0},     {3000, 0},
                            {5 * 1024, 0}, {7 * 1024 + 5, 0}, {33 * 1024, 0}, {4 * 1024, 1}};
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::vector<int8_t> matrix = matrix_of(c.bytes + c.misalign);
    const TreeLevels levels = merkle_tree_levels(c.bytes);
    const DeviceCopy data(matrix.data(), matrix.size());
    const DeviceCopy device_key(key.data(), key.size());
    const DeviceCopy nodes(nullptr, levels.total * 32);
    build_merkle_levels_gpu(data.as<int8_t>() + c.misalign, c.bytes, device_key.as<uint8_t>(),
                            nodes.as<uint8_t>(), levels.offsets.data(),
                            static_cast<uint32_t>(levels.counts.size()), levels.counts.data(), stream);
    check_cuda(cudaStreamSynchronize(stream), "synchronize");
    EXPECT_EQ(download(nodes, levels.total * 32),
              cpu_merkle_nodes(matrix.data() + c.misalign, c.bytes, key.data(), levels));
  }
}

// A device copy of `matrix` followed by bytes of other data, as a matrix
// inside a larger allocation is: a short last chunk must read as zeros past
// the matrix, never as what follows it.
std::vector<int8_t> followed_by_other_data(std::vector<int8_t> matrix) {
  matrix.resize(matrix.size() + 64, static_cast<int8_t>(0x5a));
  return matrix;
}

TEST_P(GpuProofBuildTest, FilledTemplateEqualsTheCpuProof) {
  // Short last chunks in both matrices, rows and columns repeated and unsorted.
  Config shape;
  shape.m = 7;
  shape.n = 11;
  shape.k = 300;
  shape.rank = 16;
  const OpenedRowsCols opened{{6, 0, 6}, {10, 3, 4}};
  const Key32 key = test_key();
  const std::vector<int8_t> a = matrix_of(matrix_bytes(shape.m, shape.k));
  const std::vector<int8_t> b = matrix_of(matrix_bytes(shape.n, shape.k));
  const TreeLevels tree_a = merkle_tree_levels(a.size());
  const TreeLevels tree_b = merkle_tree_levels(b.size());

  const std::vector<int8_t> a_then_other = followed_by_other_data(a);
  const std::vector<int8_t> b_then_other = followed_by_other_data(b);
  const DeviceCopy device_a(a_then_other.data(), a_then_other.size());
  const DeviceCopy device_b(b_then_other.data(), b_then_other.size());
  const DeviceCopy device_key(key.data(), key.size());
  const DeviceCopy nodes_a(nullptr, tree_a.total * 32);
  const DeviceCopy nodes_b(nullptr, tree_b.total * 32);
  build_merkle_levels_gpu(device_a.as<int8_t>(), a.size(), device_key.as<uint8_t>(), nodes_a.as<uint8_t>(),
                          tree_a.offsets.data(), static_cast<uint32_t>(tree_a.counts.size()),
                          tree_a.counts.data(), stream);
  build_merkle_levels_gpu(device_b.as<int8_t>(), b.size(), device_key.as<uint8_t>(), nodes_b.as<uint8_t>(),
                          tree_b.offsets.data(), static_cast<uint32_t>(tree_b.counts.size()),
                          tree_b.counts.data(), stream);

  const GpuProofTemplate proof = build_plain_proof_from_trees(opened, shape, tree_a, tree_b);
  const DeviceCopy proof_buffer(proof.bytes.data(), proof.bytes.size());
  const DeviceCopy chunk_jobs(proof.chunk_jobs.data(), proof.chunk_jobs.size() * sizeof(GpuProofChunkCopy));
  const DeviceCopy node_jobs(proof.node_jobs.data(), proof.node_jobs.size() * sizeof(GpuProofNodeCopy));
  launch_fill_proof(device_a.as<int8_t>(), device_b.as<int8_t>(), nodes_a.as<uint8_t>(),
                    nodes_b.as<uint8_t>(), chunk_jobs.as<GpuProofChunkCopy>(),
                    static_cast<uint32_t>(proof.chunk_jobs.size()), node_jobs.as<GpuProofNodeCopy>(),
                    static_cast<uint32_t>(proof.node_jobs.size()), proof_buffer.as<uint8_t>(), stream);
  check_cuda(cudaStreamSynchronize(stream), "synchronize");

  const std::vector<uint8_t> cpu = build_plain_proof(a.data(), a.data() + a.size(), b, opened, key.data(), shape);
  EXPECT_EQ(download(proof_buffer, proof.bytes.size()), cpu);
  EXPECT_EQ(proof.bytes.size(), cpu.size());
}

INSTANTIATE_TEST_SUITE_P(StreamModes, GpuProofBuildTest, ::testing::Values("eager", "deferred"));

TEST(GpuProofFillTest, NoJobsLaunchNothing) {
  setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
  hostgpu::inspect::reinitialise();
  launch_fill_proof(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0);
  hostgpu::inspect::LaunchRecord record;
  EXPECT_FALSE(hostgpu::inspect::last_launch(&record));
  build_merkle_levels_gpu(nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, 0);
  EXPECT_FALSE(hostgpu::inspect::last_launch(&record));
  unsetenv("HOSTGPU_DEVICES");
  hostgpu::inspect::reinitialise();
}

std::string launch_failure(const std::vector<uint64_t>& counts, const std::vector<uint64_t>& offsets) {
  const DeviceCopy data(nullptr, 4096);
  const DeviceCopy key(nullptr, 32);
  const DeviceCopy nodes(nullptr, 8 * 32);
  try {
    build_merkle_levels_gpu(data.as<int8_t>(), 4096, key.as<uint8_t>(), nodes.as<uint8_t>(),
                            offsets.data(), static_cast<uint32_t>(counts.size()), counts.data(), 0);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(GpuProofLevelsTest, AFailedLaunchNamesItsKernel) {
  setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
  hostgpu::inspect::reinitialise();
  // An empty grid is refused by the runtime at launch.
  EXPECT_EQ(launch_failure({0}, {0}), "hash_leaves_kernel: invalid configuration argument");
  EXPECT_EQ(launch_failure({4, 0}, {0, 4}), "parent_level_kernel: invalid configuration argument");
  EXPECT_EQ(launch_failure({4, 2, 1}, {0, 4, 6}), "");
  unsetenv("HOSTGPU_DEVICES");
  hostgpu::inspect::reinitialise();
}

Config bench_shape(int32_t k) {
  Config shape;
  shape.m = 33;
  shape.n = 64;
  shape.k = k;
  shape.rank = 128;
  return shape;
}

GpuProofTemplate bench_template(int32_t k) {
  OpenedRowsCols opened{{0, 32}, {}};
  for (uint64_t col = 0; col < 64; ++col) opened.cols.push_back(col);
  const Config shape = bench_shape(k);
  return build_plain_proof_from_trees(opened, shape, merkle_tree_levels(matrix_bytes(shape.m, k)),
                                      merkle_tree_levels(matrix_bytes(shape.n, k)));
}

std::string refusal(const GpuProofTemplate& proof, uint64_t bytes, uint64_t chunks, uint64_t nodes) {
  try {
    check_gpu_proof_capacity(proof, bytes, chunks, nodes);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(GpuProofTemplateTest, JobsNameEveryPlaceholder) {
  const GpuProofTemplate proof = bench_template(4096);
  EXPECT_EQ(proof.chunk_jobs.size(), 8u + 256u);
  // Root and siblings of A, then of B; the roots carry the last level.
  EXPECT_EQ(proof.node_jobs.front().level, merkle_tree_levels(33 * 4096).counts.size() - 1);
  for (const GpuProofChunkCopy& job : proof.chunk_jobs) {
    EXPECT_EQ(job.valid_bytes, 1024u);
    for (uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(proof.bytes[job.dst_offset + i], 0);
  }
}

TEST(GpuProofTemplateTest, CapacityRefusalsInTheirOrder) {
  const GpuProofTemplate fits = bench_template(4096);
  const uint64_t bytes = fits.bytes.size();
  const uint64_t chunks = fits.chunk_jobs.size();
  const uint64_t nodes = fits.node_jobs.size();
  EXPECT_EQ(refusal(fits, kGpuProofBufferBytes, kGpuProofChunkJobSlots, kGpuProofNodeJobSlots), "");
  EXPECT_EQ(refusal(fits, bytes, chunks, nodes), "");
  EXPECT_EQ(refusal(fits, bytes - 1, chunks - 1, nodes - 1), "GPU proof buffer is too small");
  EXPECT_EQ(refusal(fits, bytes, chunks - 1, nodes - 1), "GPU proof chunk-copy buffer is too small");
  EXPECT_EQ(refusal(fits, bytes, chunks, nodes - 1), "GPU proof node-copy buffer is too small");
  // k = 65536: the 64 columns of B alone are 4096 chunks.
  EXPECT_EQ(refusal(bench_template(65536), kGpuProofBufferBytes, kGpuProofChunkJobSlots,
                    kGpuProofNodeJobSlots),
            "GPU proof buffer is too small");
}

TEST(GpuProofTemplateTest, RowsOutsideTheMatrixAreRefused) {
  const Config shape = bench_shape(1024);
  const TreeLevels a = merkle_tree_levels(matrix_bytes(shape.m, shape.k));
  const TreeLevels b = merkle_tree_levels(matrix_bytes(shape.n, shape.k));
  EXPECT_THROW(build_plain_proof_from_trees({{33}, {}}, shape, a, b), std::invalid_argument);
  EXPECT_THROW(build_plain_proof_from_trees({{}, {64}}, shape, a, b), std::invalid_argument);
  // Levels of another matrix would send node jobs past the node array.
  EXPECT_THROW(build_plain_proof_from_trees({{0}, {0}}, shape, b, b), std::invalid_argument);
}

struct ComparisonCase {
  const char* name;
  std::vector<uint8_t> gpu;
  bool match;
  uint64_t first_mismatch;
};

TEST(GpuProofBenchReportTest, DifferencesAreReportedAndRaised) {
  std::vector<uint8_t> cpu(100);
  for (size_t i = 0; i < cpu.size(); ++i) cpu[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> corrupted = cpu;
  corrupted[40] ^= 0x01;
  const ComparisonCase cases[] = {
      {"equal", cpu, true, 0},
      {"byte 40 differs", corrupted, false, 40},
      {"gpu is a prefix", std::vector<uint8_t>(cpu.begin(), cpu.begin() + 60), false, 60},
      {"gpu is longer", [&] { auto longer = cpu; longer.push_back(1); return longer; }(), false, 100},
  };
  for (const ComparisonCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out;
    std::string error;
    try {
      report_gpu_proof_bench(out, cpu, c.gpu, GpuProofBenchTimes{0.5, 1.5e-05, 2});
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    const std::string line = out.str();
    EXPECT_NE(line.find(std::string("bytes_match=") + (c.match ? "true" : "false") +
                        " first_mismatch=" + std::to_string(c.first_mismatch) + " "),
              std::string::npos)
        << line;
    EXPECT_EQ(line.rfind("gpu_proof_bench raw_bytes=" + std::to_string(c.gpu.size()) +
                             " cpu_raw_bytes=100 ", 0),
              0u)
        << line;
    EXPECT_NE(line.find(" cpu_seconds=0.5 gpu_seconds=1.5e-05 compact_d2h_seconds=2\n"),
              std::string::npos)
        << line;
    EXPECT_EQ(error, c.match ? "" : "GPU proof bytes differ from CPU proof bytes");
  }
}

}  // namespace
