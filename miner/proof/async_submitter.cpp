#include "proof/async_submitter.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "core/log.h"
#include "core/log_value.h"
#include "proof/obsolete_work.h"

namespace {

constexpr const char* kStoppedText = "encoded proof submitter has stopped";

// Removes the obsolete items of a queue, keeping the others in order.
template <typename Task>
uint64_t drop_obsolete(std::deque<Task>& queue, const AsyncEncodedPlainProofSubmitter& owner) {
  const auto first_dropped = std::stable_partition(
      queue.begin(), queue.end(),
      [&owner](const Task& task) { return !owner.is_obsolete(task.job.generation); });
  const uint64_t dropped = static_cast<uint64_t>(queue.end() - first_dropped);
  queue.erase(first_dropped, queue.end());
  return dropped;
}

}  // namespace

AsyncEncodedPlainProofSubmitter::AsyncEncodedPlainProofSubmitter(
    PoolConnection* connection_in, int32_t device_in, const std::string& gpu_label_in,
    std::function<void(const MiningJob&)> record_share_work_in)
    : connection(connection_in),
      device(device_in),
      gpu_label(gpu_label_in),
      record_share_work(std::move(record_share_work_in)) {
  proof_thread = std::thread([this] { proof_worker_main(*this); });
  try {
    submit_thread = std::thread([this] { submit_worker_main(*this); });
  } catch (...) {
    stop();
    throw;
  }
}

AsyncEncodedPlainProofSubmitter::~AsyncEncodedPlainProofSubmitter() { stop(); }

void AsyncEncodedPlainProofSubmitter::wait_for_submitter_capacity() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (!first_error.empty()) throw std::runtime_error(first_error);
    if (stopped) throw std::runtime_error(kStoppedText);
    if (!busy && submit_queue.size() <= kMaxWaitingSubmits) {
      busy = true;
      return;
    }
    progress_cv.wait(lock);
  }
}

void AsyncEncodedPlainProofSubmitter::enqueue(ProofTask&& task) {
  std::unique_lock<std::mutex> lock(mutex);
  if (!first_error.empty()) throw std::runtime_error(first_error);
  if (stopped) throw std::runtime_error(kStoppedText);
  if (is_obsolete(task.job.generation)) {
    log_obsolete_drop("enqueue", task.job, active_generation);
    busy = false;
    lock.unlock();
    progress_cv.notify_all();
    return;
  }
  proof_queue.push_back(std::move(task));
  lock.unlock();
  proof_work_cv.notify_one();
}

void AsyncEncodedPlainProofSubmitter::set_active_job(const MiningJob& job) {
  std::unique_lock<std::mutex> lock(mutex);
  if (!first_error.empty()) throw std::runtime_error(first_error);
  active_generation = job.generation;
  const uint64_t dropped_proofs = drop_obsolete(proof_queue, *this);
  if (dropped_proofs != 0) busy = false;  // the dropped proof held it
  const uint64_t dropped_submits = drop_obsolete(submit_queue, *this);
  lock.unlock();
  if (dropped_proofs != 0 || dropped_submits != 0) {
    log_line(LogLevel::Debug, "share",
             "dropped reason=obsolete_job active_job=" + log_value(job.job_id) +
                 " active_generation=" + std::to_string(job.generation) +
                 " queued_proofs=" + std::to_string(dropped_proofs) +
                 " queued_submits=" + std::to_string(dropped_submits));
  }
  progress_cv.notify_all();
}

void AsyncEncodedPlainProofSubmitter::wait_until_idle() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (!first_error.empty()) throw std::runtime_error(first_error);
    if (stopped) throw std::runtime_error(kStoppedText);
    if (proof_queue.empty() && submit_queue.empty() && proofs_in_flight == 0 &&
        submits_in_flight == 0 && !busy) {
      return;
    }
    progress_cv.wait(lock);
  }
}

void AsyncEncodedPlainProofSubmitter::rethrow_worker_error() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!first_error.empty()) throw std::runtime_error(first_error);
}

void AsyncEncodedPlainProofSubmitter::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    proof_stop = true;
  }
  proof_work_cv.notify_all();
  progress_cv.notify_all();
  // The proof worker finishes its queue first, so every proof handed over
  // reaches the submit queue before the submit worker is told to stop.
  if (proof_thread.joinable()) proof_thread.join();
  {
    std::lock_guard<std::mutex> lock(mutex);
    submit_stop = true;
  }
  submit_work_cv.notify_all();
  if (submit_thread.joinable()) submit_thread.join();
}

void AsyncEncodedPlainProofSubmitter::on_worker_failure(const std::string& stage,
                                                        const std::string& what, bool clear_busy,
                                                        bool finish_proof,
                                                        bool finish_submit) noexcept {
  try {
    std::string text = "async encoded proof " + stage + " worker failed: " + what;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (clear_busy) busy = false;
      if (finish_proof && proofs_in_flight > 0) --proofs_in_flight;
      if (finish_submit && submits_in_flight > 0) --submits_in_flight;
      if (first_error.empty()) first_error = std::move(text);
      proof_stop = true;
      submit_stop = true;
      stopped = true;
    }
    proof_work_cv.notify_all();
    submit_work_cv.notify_all();
    progress_cv.notify_all();
  } catch (const std::exception& e) {
    try {
      log_line(LogLevel::Error, "proof",
               "async encoded proof " + stage + " worker failed and error handler also failed: " +
                   log_quoted(what) + " handler_error=" + log_quoted(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      log_line(LogLevel::Error, "proof",
               "async encoded proof " + stage + " worker failed and error handler also failed: " +
                   log_quoted(what));
    } catch (...) {
    }
  }
}
