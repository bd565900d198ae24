#pragma once
// Hands GPU proofs from the mining thread to two workers: the proof worker
// waits for each proof on the GPU and encodes it, the submit worker sends it
// to the pool. Work of a job older than the newest one is dropped at every
// stage; a worker's first failure is stored and raised on the mining thread.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/cuda_streams.h"
#include "core/mining_job.h"
#include "proof/gpu_proof_template.h"

struct PoolConnection;

// One GPU proof in flight; owns its buffers and its event.
struct ProofTask {
  std::shared_ptr<std::vector<uint8_t>> compact_proof;  // filled by the GPU build's copy
  CudaEventHolder event;                                // recorded after that copy
  GpuProofTemplate proof_template;
  MiningJob job;
  std::string job_key_hex;
  std::array<uint8_t, 32> gpu_a_root{};
  std::array<uint8_t, 32> gpu_b_root{};
  std::array<uint8_t, 32> gpu_a_noise_seed{};
  std::array<uint8_t, 32> gpu_b_noise_seed{};
  // Debug transcript check results; zero/empty when the check did not run.
  std::array<uint8_t, 32> cpu_replay_kernel_hash{};
  std::array<uint8_t, 32> cpu_rank_local_hash{};
  std::array<uint8_t, 32> kernel_transcript_hash{};
  std::array<uint8_t, 64> cpu_transcript{};     // 16 words, little-endian
  std::array<uint8_t, 64> kernel_transcript{};  // 16 words, little-endian
  std::string kernel_transcript_match;
  int64_t proof_started = 0;         // steady-clock ns
  int64_t compact_copy_started = 0;  // steady-clock ns
  bool debug_transcript = false;
};

// One encoded share waiting for the submit worker.
struct SubmitTask {
  std::string proof_b64;
  MiningJob job;
};

// No new proof starts while more than this many encoded proofs wait.
inline constexpr size_t kMaxWaitingSubmits = 255;

struct AsyncEncodedPlainProofSubmitter {
  PoolConnection* connection = nullptr;  // not owned; used only by the submit worker
  int32_t device = 0;
  std::string gpu_label;
  std::function<void(const MiningJob&)> record_share_work;  // after each accepted share
  std::thread proof_thread;
  std::thread submit_thread;

  std::mutex mutex;  // guards everything below
  std::condition_variable proof_work_cv;
  std::condition_variable submit_work_cv;
  std::condition_variable progress_cv;
  std::deque<ProofTask> proof_queue;
  std::deque<SubmitTask> submit_queue;
  uint64_t proofs_in_flight = 0;
  uint64_t submits_in_flight = 0;
  bool busy = false;  // a GPU proof is being built or waits for its event
  bool proof_stop = false;
  bool submit_stop = false;
  bool stopped = false;
  uint64_t active_generation = 0;  // 0 = no job yet
  std::string first_error;

  // Starts the proof worker, then the submit worker.
  AsyncEncodedPlainProofSubmitter(PoolConnection* connection, int32_t device,
                                  const std::string& gpu_label,
                                  std::function<void(const MiningJob&)> record_share_work);
  // As stop().
  ~AsyncEncodedPlainProofSubmitter();
  AsyncEncodedPlainProofSubmitter(const AsyncEncodedPlainProofSubmitter&) = delete;
  AsyncEncodedPlainProofSubmitter& operator=(const AsyncEncodedPlainProofSubmitter&) = delete;

  // Mining thread, before starting a GPU proof: blocks until no proof is under
  // construction and at most 255 encoded proofs wait, then marks one busy.
  void wait_for_submitter_capacity();
  // Takes the task (moved from) or, when its job is obsolete, leaves it with
  // the caller and releases the busy mark.
  void enqueue(ProofTask&& task);
  // Records the newest job's generation and drops queued obsolete work.
  void set_active_job(const MiningJob& job);
  // Blocks until nothing is queued, taken or under construction.
  void wait_until_idle();
  void rethrow_worker_error();
  // Finishes all queued work, then ends and joins both workers. Raises nothing.
  void stop();

  // Workers only: stores the first failure and stops everything. Never raises.
  void on_worker_failure(const std::string& stage, const std::string& what, bool clear_busy,
                         bool finish_proof, bool finish_submit) noexcept;

  // Whether work of this generation is older than the newest job (under mutex).
  bool is_obsolete(uint64_t generation) const {
    return active_generation != 0 && active_generation > generation;
  }
};

// Thread bodies (proof_worker.cpp, submit_worker.cpp).
void proof_worker_main(AsyncEncodedPlainProofSubmitter& submitter);
void submit_worker_main(AsyncEncodedPlainProofSubmitter& submitter);
