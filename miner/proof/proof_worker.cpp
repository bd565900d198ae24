#include "proof/proof_worker.h"

#include <chrono>
#include <locale>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "core/codecs.h"
#include "core/cuda_check.h"
#include "core/log.h"
#include "engine/share_rate_meter.h"
#include "proof/obsolete_work.h"

namespace {

std::string hex64(const std::array<uint8_t, 64>& bytes) {
  return hex32(bytes.data()) + hex32(bytes.data() + 32);
}

// Steps 7..12 of one task after it was taken; raises on failure.
void handle_task(AsyncEncodedPlainProofSubmitter& submitter, ProofTask& task) {
  check_cuda(cudaSetDevice(submitter.device), "async proof cudaSetDevice");
  check_cuda(cudaEventSynchronize(task.event.event), "async GPU proof synchronize");
  const int64_t ready_time = steady_now_ns();
  {
    std::lock_guard<std::mutex> lock(submitter.mutex);
    submitter.busy = false;
  }
  // The mining thread may start its next proof while this one is encoded.
  submitter.progress_cv.notify_all();

  {
    std::unique_lock<std::mutex> lock(submitter.mutex);
    if (submitter.is_obsolete(task.job.generation)) {
      const uint64_t active = submitter.active_generation;
      lock.unlock();
      log_obsolete_drop("proof", task.job, active);
      return;
    }
  }

  const int64_t encode_start = steady_now_ns();
  if (!task.compact_proof) throw std::runtime_error("async proof missing host buffer");
  std::string proof_b64 = base64_encode(*task.compact_proof);
  const int64_t encode_end = steady_now_ns();
  log_line(LogLevel::Debug, "proof",
           plainproof_line(task, proof_b64.size(), ready_time, encode_start, encode_end));
  queue_encoded_proof(submitter, task, std::move(proof_b64));
}

void finish_task(AsyncEncodedPlainProofSubmitter& submitter) {
  {
    std::lock_guard<std::mutex> lock(submitter.mutex);
    if (submitter.proofs_in_flight > 0) --submitter.proofs_in_flight;
  }
  submitter.progress_cv.notify_all();
}

}  // namespace

std::string format_elapsed_seconds(int64_t nanoseconds) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << static_cast<double>(nanoseconds) / 1e9;
  return out.str();
}

std::string plainproof_line(const ProofTask& task, size_t b64_chars, int64_t ready_time,
                            int64_t encode_start, int64_t encode_end) {
  const size_t raw_bytes = task.compact_proof ? task.compact_proof->size() : 0;
  std::string line = "plainproof backend=gpu raw_bytes=" + std::to_string(raw_bytes) +
                     " b64_chars=" + std::to_string(b64_chars) + " job_key=" + task.job_key_hex +
                     " gpu_a_root=" + hex32(task.gpu_a_root.data()) +
                     " gpu_b_root=" + hex32(task.gpu_b_root.data()) +
                     " gpu_a_noise_seed=" + hex32(task.gpu_a_noise_seed.data()) +
                     " gpu_b_noise_seed=" + hex32(task.gpu_b_noise_seed.data()) +
                     " compact_d2h_seconds=" +
                     format_elapsed_seconds(ready_time - task.compact_copy_started) +
                     " gpu_proof_seconds=" + format_elapsed_seconds(encode_end - task.proof_started) +
                     " b64_seconds=" + format_elapsed_seconds(encode_end - encode_start);
  if (task.debug_transcript) {
    line += " cpu_replay_kernel_hash=" + hex32(task.cpu_replay_kernel_hash.data()) +
            " cpu_rank_local_hash=" + hex32(task.cpu_rank_local_hash.data()) +
            " kernel_transcript_hash=" + hex32(task.kernel_transcript_hash.data()) +
            " kernel_transcript=" + hex64(task.kernel_transcript) +
            " cpu_transcript=" + hex64(task.cpu_transcript) +
            " kernel_transcript_match=" + task.kernel_transcript_match;
  }
  return line;
}

bool queue_encoded_proof(AsyncEncodedPlainProofSubmitter& submitter, const ProofTask& task,
                         std::string&& proof_b64) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(submitter.mutex);
    if (submitter.is_obsolete(task.job.generation)) {
      log_obsolete_drop("proof_encoded", task.job, submitter.active_generation);
    } else {
      submitter.submit_queue.push_back(SubmitTask{std::move(proof_b64), task.job});
      queued = true;
    }
  }
  submitter.submit_work_cv.notify_one();
  return queued;
}

void proof_worker_main(AsyncEncodedPlainProofSubmitter& submitter) {
  thread_gpu_label = submitter.gpu_label;
  for (;;) {
    std::optional<ProofTask> task;
    try {
      {
        std::unique_lock<std::mutex> lock(submitter.mutex);
        submitter.proof_work_cv.wait_for(lock, std::chrono::milliseconds(10), [&submitter] {
          return submitter.proof_stop || !submitter.proof_queue.empty();
        });
        if (submitter.proof_queue.empty()) {
          if (submitter.proof_stop) return;
          continue;
        }
        task.emplace(std::move(submitter.proof_queue.front()));
        submitter.proof_queue.pop_front();
        ++submitter.proofs_in_flight;
      }
      submitter.progress_cv.notify_one();
      handle_task(submitter, *task);
      finish_task(submitter);
    } catch (const std::exception& e) {
      // Without a task in hand nothing was taken: no in-flight count to undo.
      submitter.on_worker_failure("proof", e.what(), true, task.has_value(), false);
      return;
    } catch (...) {
      submitter.on_worker_failure("proof", "unknown exception", true, task.has_value(), false);
      return;
    }
  }
}
