#include <chrono>
#include <optional>

#include "core/log.h"
#include "pool/pool_operations.h"
#include "pool/share_reply.h"
#include "proof/async_submitter.h"
#include "proof/obsolete_work.h"

namespace {

// Polls, drops the share if its job is now obsolete, otherwise sends it and
// records its work when the pool accepted it.
void handle_share(AsyncEncodedPlainProofSubmitter& submitter, const SubmitTask& task) {
  // A job change the mining thread has not noticed yet still makes the share obsolete.
  MiningJob polled;
  if (poll_connection(*submitter.connection, polled)) submitter.set_active_job(polled);

  {
    std::unique_lock<std::mutex> lock(submitter.mutex);
    if (submitter.is_obsolete(task.job.generation)) {
      const uint64_t active = submitter.active_generation;
      lock.unlock();
      log_obsolete_drop("submit", task.job, active);
      return;
    }
  }

  // The connection reads what waits on it before sending: a job that replaced
  // this one there, unseen by the poll above (the mining thread may have held
  // the connection), still keeps the share from going out.
  const ShareSubmission submission = submit_share_if_current(*submitter.connection, task.proof_b64, task.job);
  if (!submission.sent) {
    submitter.set_active_job(submission.current_job);
    log_obsolete_drop("submit", task.job, submission.current_job.generation);
    return;
  }
  // Only a reply without error whose result is true is an accepted share.
  if (report_share_reply(submission.reply, task.job.job_id) && submitter.record_share_work) {
    submitter.record_share_work(task.job);
  }
}

void finish_share(AsyncEncodedPlainProofSubmitter& submitter) {
  {
    std::lock_guard<std::mutex> lock(submitter.mutex);
    if (submitter.submits_in_flight > 0) --submitter.submits_in_flight;
  }
  submitter.progress_cv.notify_all();
}

}  // namespace

void submit_worker_main(AsyncEncodedPlainProofSubmitter& submitter) {
  thread_gpu_label = submitter.gpu_label;
  for (;;) {
    std::optional<SubmitTask> task;
    try {
      {
        std::unique_lock<std::mutex> lock(submitter.mutex);
        submitter.submit_work_cv.wait_for(lock, std::chrono::milliseconds(10), [&submitter] {
          return submitter.submit_stop || !submitter.submit_queue.empty();
        });
        if (submitter.submit_queue.empty()) {
          if (submitter.submit_stop) return;
          continue;
        }
        task.emplace(std::move(submitter.submit_queue.front()));
        submitter.submit_queue.pop_front();
        ++submitter.submits_in_flight;
      }
      submitter.progress_cv.notify_one();
      handle_share(submitter, *task);
      finish_share(submitter);
    } catch (const std::exception& e) {
      submitter.on_worker_failure("submit", e.what(), false, false, task.has_value());
      return;
    } catch (...) {
      submitter.on_worker_failure("submit", "unknown exception", false, false, task.has_value());
      return;
    }
  }
}
