#include "engine/found_candidate.h"

#include <algorithm>
#include <locale>
#include <sstream>

#include "backends/kernel_signal.h"
#include "core/codecs.h"
#include "core/cuda_check.h"
#include "core/log.h"
#include "core/log_value.h"
#include "diagnostics/debug_transcript_check.h"
#include "engine/candidate_check.h"
#include "engine/miner_state.h"
#include "pool/gateway_client.h"
#include "pool/pool_operations.h"
#include "pool/share_reply.h"
#include "proof/candidate_rows_cols.h"
#include "proof/obsolete_work.h"

namespace {

std::string seconds_text(int64_t nanoseconds) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << static_cast<double>(nanoseconds) / 1e9;
  return text.str();
}

// The gateway's reply: an error member other than null is a refusal; a
// synthesized drop is a drop; anything else was taken.
void report_gateway_reply(const std::string& reply, const std::string& job_id) {
  const bool has_error = reply.find("\"error\"") != std::string::npos &&
                         reply.find("\"error\":null") == std::string::npos;
  if (has_error) {
    log_line(LogLevel::Error, "share", "submission_error response=" + log_value(reply));
  } else if (reply.find("\"dropped\":true") != std::string::npos) {
    log_line(LogLevel::Warn, "share", "dropped reason=stratum_reconnect");
  } else {
    log_info("share", "submitted job=" + log_value(job_id));
  }
}

void store_words(std::array<uint8_t, 64>& out, const std::array<uint32_t, 16>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    for (size_t b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
  }
}

}  // namespace

ProofTask make_proof_task(IssuedGpuProof&& issued, const MiningJob& job, const uint8_t* key,
                          const CandidateDigests& digests, int64_t proof_started) {
  ProofTask task;
  task.compact_proof = std::move(issued.compact_proof);
  task.event = std::move(issued.proof_event);
  task.proof_template = std::move(issued.proof_template);
  task.job = job;
  task.job_key_hex = hex32(key);
  task.gpu_a_root = digests.a_root;
  task.gpu_b_root = digests.b_root;
  task.gpu_a_noise_seed = digests.a_noise_seed;
  task.gpu_b_noise_seed = digests.b_noise_seed;
  task.proof_started = proof_started;
  task.compact_copy_started = issued.compact_copy_started;
  return task;
}

void submit_proof_synchronously(MinerState& state, IssuedGpuProof& proof, const MiningJob& job,
                                const uint8_t* key, const CandidateDigests& digests,
                                int64_t proof_started, const std::string& step_prefix) {
  const std::string sync_step = step_prefix + "GPU proof synchronize";
  check_cuda(cudaEventSynchronize(proof.proof_event.event), sync_step.c_str());
  const int64_t t1 = steady_now_ns();
  const std::string text = base64_encode(*proof.compact_proof);
  const int64_t t2 = steady_now_ns();
  if (!state.pool) {
    report_gateway_reply(gateway_submit_plain_proof(*state.gateway, text, job), job.job_id);
    return;
  }
  log_line(LogLevel::Debug, "proof",
           "plainproof backend=gpu raw_bytes=" + std::to_string(proof.compact_proof->size()) +
               " b64_chars=" + std::to_string(text.size()) + " job_key=" + hex32(key) +
               " gpu_a_root=" + hex32(digests.a_root.data()) +
               " gpu_b_root=" + hex32(digests.b_root.data()) +
               " gpu_a_noise_seed=" + hex32(digests.a_noise_seed.data()) +
               " gpu_b_noise_seed=" + hex32(digests.b_noise_seed.data()) +
               " compact_d2h_seconds=" + seconds_text(t1 - proof.compact_copy_started) +
               " gpu_proof_seconds=" + seconds_text(t2 - proof_started) +
               " b64_seconds=" + seconds_text(t2 - t1));
  const ShareSubmission submission = submit_share_if_current(*state.pool, text, job);
  if (!submission.sent) {
    // The next poll takes the newer job the connection now holds.
    log_obsolete_drop("submit", job, submission.current_job.generation);
    return;
  }
  if (report_share_reply(submission.reply, job.job_id)) state.meter.record_share_work(job);
}

void handle_found_candidate(MinerState& state, const MiningJob& job, const uint8_t* key) {
  const Config& c = state.config;
  DeviceWorkspace& w = *state.workspace;
  OpenedRowsCols opened;
  if (!announce_candidate(*w.signal_header, c.m, c.n, job.job_id, opened)) return;
  if (c.dry_run) {
    log_line(LogLevel::Debug, "share", "dry_run_skip_plainproof_construction_submission=true");
    return;
  }
  const CandidateDigests digests = copy_candidate_digests(w, "");
  // Replays for the reader of the proof line; nothing acts on a difference.
  DebugTranscriptResults transcript;
  if (c.debug_transcript) {
    transcript = debug_transcript_check(c, w.a_noised.data, w.b_noised.data, *w.signal_header,
                                        opened, digests.a_noise_seed.data());
  }
  const int64_t proof_started = steady_now_ns();
  if (state.submitter) state.submitter->wait_for_submitter_capacity();

  CudaEventHolder snapshot =
      snapshot_for_proof(w, c, state.mining_stream.stream, state.proof_stream.stream);
  GpuProofInputs inputs;
  inputs.a = w.a_snapshot.data;
  inputs.b = w.b_snapshot.data;
  inputs.key = w.key_snapshot.data;
  IssuedGpuProof proof = issue_gpu_proof(w, c, opened, inputs, state.proof_stream.stream);
  if (state.submitter) {
    ProofTask task = make_proof_task(std::move(proof), job, key, digests, proof_started);
    task.debug_transcript = c.debug_transcript;
    task.cpu_replay_kernel_hash = transcript.cpu_replay_kernel_hash;
    task.cpu_rank_local_hash = transcript.cpu_rank_local_hash;
    task.kernel_transcript_hash = transcript.kernel_transcript_hash;
    store_words(task.cpu_transcript, transcript.cpu_transcript);
    store_words(task.kernel_transcript, transcript.kernel_transcript);
    task.kernel_transcript_match = transcript.kernel_transcript_match;
    state.submitter->enqueue(std::move(task));
    return;
  }
  submit_proof_synchronously(state, proof, job, key, digests, proof_started, "");
}
