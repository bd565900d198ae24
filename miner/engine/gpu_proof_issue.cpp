#include "engine/gpu_proof_issue.h"

#include "core/config.h"
#include "core/cuda_check.h"
#include "engine/device_workspace.h"
#include "engine/share_rate_meter.h"
#include "proof/gpu_plain_proof.h"

namespace {

void check_step(cudaError_t result, const std::string& prefix, const char* step) {
  const std::string name = prefix + step;
  check_cuda(result, name.c_str());
}

void copy_digest(std::array<uint8_t, 32>& out, const uint8_t* device, const std::string& prefix,
                 const char* step) {
  check_step(cudaMemcpy(out.data(), device, out.size(), cudaMemcpyDeviceToHost), prefix, step);
}

void build_levels(const int8_t* matrix, uint64_t bytes, const uint8_t* key, uint8_t* nodes,
                  const TreeLevels& levels, cudaStream_t stream) {
  build_merkle_levels_gpu(matrix, bytes, key, nodes, levels.offsets.data(),
                          static_cast<uint32_t>(levels.counts.size()), levels.counts.data(),
                          stream);
}

}  // namespace

CandidateDigests copy_candidate_digests(const DeviceWorkspace& w, const std::string& step_prefix) {
  CandidateDigests digests;
  copy_digest(digests.a_root, w.a_root.data, step_prefix, "copy GPU A root");
  copy_digest(digests.b_root, w.b_root.data, step_prefix, "copy GPU B root");
  copy_digest(digests.a_noise_seed, w.a_noise_seed.data, step_prefix, "copy GPU A noise seed");
  copy_digest(digests.b_noise_seed, w.b_noise_seed.data, step_prefix, "copy GPU B noise seed");
  return digests;
}

CudaEventHolder snapshot_for_proof(DeviceWorkspace& w, const Config& shape, cudaStream_t mining,
                                   cudaStream_t proof) {
  const auto a_bytes = static_cast<size_t>(matrix_bytes(shape.m, shape.k));
  const auto b_bytes = static_cast<size_t>(matrix_bytes(shape.n, shape.k));
  check_cuda(cudaMemcpyAsync(w.a_snapshot.data, w.a.data, a_bytes, cudaMemcpyDeviceToDevice, mining),
             "snapshot A");
  check_cuda(cudaMemcpyAsync(w.b_snapshot.data, w.b.data, b_bytes, cudaMemcpyDeviceToDevice, mining),
             "snapshot B");
  check_cuda(cudaMemcpyAsync(w.key_snapshot.data, w.key.data, 32, cudaMemcpyDeviceToDevice, mining),
             "snapshot key");
  CudaEventHolder snapshot = create_untimed_event("create snapshot event");
  check_cuda(cudaEventRecord(snapshot.event, mining), "record snapshot event");
  check_cuda(cudaStreamWaitEvent(proof, snapshot.event, 0), "proof waits for snapshot");
  return snapshot;
}

IssuedGpuProof issue_gpu_proof(DeviceWorkspace& w, const Config& shape,
                               const OpenedRowsCols& opened, const GpuProofInputs& in,
                               cudaStream_t proof) {
  const auto a_bytes = static_cast<uint64_t>(matrix_bytes(shape.m, shape.k));
  const auto b_bytes = static_cast<uint64_t>(matrix_bytes(shape.n, shape.k));
  const std::string& prefix = in.step_prefix;
  build_levels(in.a, a_bytes, in.key, w.nodes_a.data, w.tree_a, proof);
  if (in.build_b_levels) build_levels(in.b, b_bytes, in.key, w.nodes_b.data, w.tree_b, proof);

  IssuedGpuProof issued;
  issued.proof_template = build_plain_proof_from_trees(opened, shape, w.tree_a, w.tree_b);
  const GpuProofTemplate& t = issued.proof_template;
  check_gpu_proof_capacity(t, kProofBufferBytes, kChunkCopyJobs, kNodeCopyJobs);
  check_step(cudaMemcpyAsync(w.proof_buffer.data, t.bytes.data(), t.bytes.size(),
                             cudaMemcpyHostToDevice, proof),
             prefix, "copy GPU proof template");
  if (!t.chunk_jobs.empty()) {
    check_step(cudaMemcpyAsync(w.chunk_jobs.data, t.chunk_jobs.data(),
                               t.chunk_jobs.size() * sizeof(GpuProofChunkCopy),
                               cudaMemcpyHostToDevice, proof),
               prefix, "copy GPU proof chunk jobs");
  }
  if (!t.node_jobs.empty()) {
    check_step(cudaMemcpyAsync(w.node_jobs.data, t.node_jobs.data(),
                               t.node_jobs.size() * sizeof(GpuProofNodeCopy),
                               cudaMemcpyHostToDevice, proof),
               prefix, "copy GPU proof node jobs");
  }
  launch_fill_proof(in.a, in.b, w.nodes_a.data, w.nodes_b.data,
                    reinterpret_cast<const GpuProofChunkCopy*>(w.chunk_jobs.data),
                    static_cast<uint32_t>(t.chunk_jobs.size()),
                    reinterpret_cast<const GpuProofNodeCopy*>(w.node_jobs.data),
                    static_cast<uint32_t>(t.node_jobs.size()), w.proof_buffer.data, proof);
  issued.compact_copy_started = steady_now_ns();
  issued.compact_proof = std::make_shared<std::vector<uint8_t>>(t.bytes.size(), 0);
  check_step(cudaMemcpyAsync(issued.compact_proof->data(), w.proof_buffer.data, t.bytes.size(),
                             cudaMemcpyDeviceToHost, proof),
             prefix, "copy compact GPU proof");
  issued.proof_event = create_untimed_event((std::string("create ") + prefix + "proof event").c_str());
  check_step(cudaEventRecord(issued.proof_event.event, proof), prefix, "record proof event");
  return issued;
}
