#pragma once
// Shared pieces of the submitter tests: a host device, proof tasks with a
// small compact proof, and a GPU proof the test holds on the device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/mining_job.h"
#include "proof/async_submitter.h"

class HostDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Stream work runs only when waited for, so a held proof stays on the "GPU".
  void use_deferred_streams();
};

MiningJob job_of(const std::string& job_id, uint64_t generation);

// "Proof" encodes as "UHJvb2Y=".
inline const std::vector<uint8_t> kProofBytes{'P', 'r', 'o', 'o', 'f'};
inline const char kProofB64[] = "UHJvb2Y=";

// A finished proof: its event was never recorded, so it is complete.
ProofTask make_task(const MiningJob& job, std::vector<uint8_t> bytes = kProofBytes);

// A proof whose event completes only after release(): deferred streams only.
struct HeldProof {
  HeldProof();
  ~HeldProof();
  ProofTask task_for(const MiningJob& job);
  // Blocks (bounded) until the worker is waiting on the proof's event.
  bool wait_until_waited_on();
  void release();
  cudaStream_t stream = nullptr;
};

// Polls the condition until it holds or the time runs out.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// The submitter's state read under its mutex.
template <typename T>
T read_locked(AsyncEncodedPlainProofSubmitter& submitter,
              const std::function<T(const AsyncEncodedPlainProofSubmitter&)>& read) {
  std::lock_guard<std::mutex> lock(submitter.mutex);
  return read(submitter);
}

size_t count_of(const std::string& text, const std::string& needle);
