#pragma once
// Issues one GPU PlainProof on the proof stream: the Merkle levels, the host
// template, the fill and the copy of the finished bytes back to the host.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cuda_streams.h"
#include "proof/gpu_proof_template.h"
#include "proof/plain_proof.h"

class DeviceWorkspace;
struct Config;

// What the proof reads on the device.
struct GpuProofInputs {
  const int8_t* a = nullptr;
  const int8_t* b = nullptr;
  const uint8_t* key = nullptr;
  bool build_b_levels = true;  // false: the workspace's B node array is still current
  std::string step_prefix;     // "" or "pool pipeline "
};

// A proof whose bytes are valid once `proof_event` has completed.
struct IssuedGpuProof {
  GpuProofTemplate proof_template;
  std::shared_ptr<std::vector<uint8_t>> compact_proof;
  CudaEventHolder proof_event;
  int64_t compact_copy_started = 0;  // steady-clock ns
};

// The roots and noise seeds of a candidate's attempt, copied back from the GPU.
struct CandidateDigests {
  std::array<uint8_t, 32> a_root{};
  std::array<uint8_t, 32> b_root{};
  std::array<uint8_t, 32> a_noise_seed{};
  std::array<uint8_t, 32> b_noise_seed{};
};

// Blocking copies of the workspace's four digests; step names "<prefix>copy
// GPU A root" and so on.
CandidateDigests copy_candidate_digests(const DeviceWorkspace& w, const std::string& step_prefix);

// Copies A, B and the key into the workspace's snapshots on the mining stream
// and makes the proof stream wait for them; the returned event must outlive
// that wait's use (it is destroyed with the candidate).
CudaEventHolder snapshot_for_proof(DeviceWorkspace& w, const Config& shape, cudaStream_t mining,
                                   cudaStream_t proof);

// Everything after the inputs exist: levels, template (capacity checked before
// any copy), fill, compact copy and the proof event, all on `proof`.
IssuedGpuProof issue_gpu_proof(DeviceWorkspace& w, const Config& shape,
                               const OpenedRowsCols& opened, const GpuProofInputs& inputs,
                               cudaStream_t proof);
