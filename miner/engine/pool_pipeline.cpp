#include "engine/pool_pipeline.h"

#include <memory>
#include <string>

#include "core/cuda_check.h"
#include "core/job_key.h"
#include "core/log.h"
#include "engine/dev_fee.h"
#include "engine/candidate_check.h"
#include "engine/found_candidate.h"
#include "engine/job_source.h"
#include "engine/miner_state.h"
#include "engine/pipeline_stages.h"
#include "pool/pool_operations.h"

namespace {

std::array<int32_t, 4> shape_of(const Config& c) { return {c.m, c.n, c.k, c.rank}; }

// The pipeline's state for the length of one run.
struct PoolPipeline {
  MinerState& state;
  std::unique_ptr<DeviceWorkspace> second;
  StreamHolder mine;
  CudaEventHolder prep_done[2];
  CudaEventHolder reusable[2];
  PipelineSlot slots[2];
  bool proof_in_flight[2] = {false, false};

  explicit PoolPipeline(MinerState& s) : state(s) {}

  // Stages first <= s < last of slot `slot`'s preparation for `job`.
  void prepare_pool_job(int slot, uint64_t attempt, const MiningJob& job, int first, int last) {
    const Config& c = state.config;
    PipelineSlot& record = slots[slot];
    bool upload_key = false;
    if (first <= 0 && last > 0) {
      if (state.submitter) state.submitter->rethrow_worker_error();
      if (proof_in_flight[slot]) {
        check_cuda(cudaEventSynchronize(reusable[slot].event), "pool pipeline wait reusable slot");
        proof_in_flight[slot] = false;
      }
      record.attempt = attempt;
      record.job = job;
      if (job.m != c.m || job.n != c.n || job.k != c.k || job.rank != c.rank) {
        throw std::runtime_error("pool pipeline profile changed; restart miner to rebuild pipeline");
      }
      const JobKeyPatternPair& patterns = state.key_patterns();
      derive_job_key(record.job_key.data(), job.header_bytes, static_cast<uint32_t>(c.k), c.rank,
                     patterns.first, patterns.second);
    }
    const bool touches_b = first <= 2 && last > 1;
    const bool reuse_b = touches_b && !c.disable_b_reuse && record.b_fill_valid &&
                         record.b_fill_key == record.job_key && record.b_fill_shape == shape_of(c);

    PrepTarget target;
    target.step_prefix = "pool pipeline";
    target.workspace = record.workspace;
    target.attempt = record.attempt;
    target.prep = state.mining_stream.stream;
    target.prep_aux = state.aux_stream.stream;
    target.setup_ready = state.setup_ready.event;
    target.hash_b_done = state.hash_b_done.event;
    target.noise_done = state.noise_done.event;
    target.sparse_b_done = state.sparse_b_done.event;
    target.prep_done = prep_done[slot].event;
    target.key_uploaded = &upload_key;  // false: every stage 0 uploads key and target
    target.host_key = record.job_key.data();
    target.host_target = record.job.target.data();
    target.noise_in_place = false;
    target.reuse_b = reuse_b;
    run_prep_stages(state, target, first, last);

    if (!reuse_b && first <= 2 && last > 2) {
      record.b_fill_valid = true;
      record.b_fill_key = record.job_key;
      record.b_fill_shape = shape_of(c);
      record.b_tree_valid = false;  // the old B's proof levels are stale
    }
  }

  // The slot prepared for the next attempt holds an old job: redo it wholly
  // for the cached one before it is mined.
  void flush_next_slot(int slot, uint64_t attempt) {
    check_cuda(cudaStreamSynchronize(state.mining_stream.stream),
               "pool pipeline flush old prep stream");
    check_cuda(cudaStreamSynchronize(state.aux_stream.stream),
               "pool pipeline flush old prep aux stream");
    prepare_pool_job(slot, attempt, state.cached_job, 0, kPrepStageCount);
    check_cuda(cudaEventSynchronize(prep_done[slot].event),
               "pool pipeline synchronize flushed replacement prep");
  }

  void found_candidate(int slot);
  void finish();
};

// The first job of a connection that has just logged in: becomes the cached
// job, and the submitter's active one.
void take_first_job(MinerState& state) {
  state.cached_job = wait_for_job(*state.pool);
  state.job_active = true;
  state.attempts_on_job = 1;
  if (state.submitter) state.submitter->set_active_job(state.cached_job);
}

void PoolPipeline::found_candidate(int slot) {
  const Config& c = state.config;
  PipelineSlot& record = slots[slot];
  DeviceWorkspace& w = *record.workspace;
  OpenedRowsCols opened;
  if (!announce_candidate(*w.signal_header, c.m, c.n, record.job.job_id, opened)) return;
  if (c.dry_run) {
    log_line(LogLevel::Debug, "share", "dry_run_skip_plainproof_construction_submission=true");
    return;
  }
  const CandidateDigests digests = copy_candidate_digests(w, "pool pipeline ");
  const int64_t proof_started = steady_now_ns();
  if (state.submitter) state.submitter->wait_for_submitter_capacity();

  GpuProofInputs inputs;
  inputs.a = w.a.data;
  inputs.b = w.b.data;
  inputs.key = w.key.data;
  inputs.build_b_levels = !record.b_tree_valid || record.b_tree_key != record.job_key ||
                          record.b_tree_shape != shape_of(c);
  inputs.step_prefix = "pool pipeline ";
  cudaStream_t proof_stream = state.proof_stream.stream;
  IssuedGpuProof proof = issue_gpu_proof(w, c, opened, inputs, proof_stream);
  if (inputs.build_b_levels) {
    record.b_tree_valid = true;
    record.b_tree_key = record.job_key;
    record.b_tree_shape = shape_of(c);
  }
  check_cuda(cudaEventRecord(reusable[slot].event, proof_stream),
             "pool pipeline record reusable slot");
  proof_in_flight[slot] = true;

  if (state.submitter) {
    state.submitter->enqueue(
        make_proof_task(std::move(proof), record.job, record.job_key.data(), digests, proof_started));
    return;
  }
  submit_proof_synchronously(state, proof, record.job, record.job_key.data(), digests,
                             proof_started, "pool pipeline ");
}

void PoolPipeline::finish() {
  check_cuda(cudaStreamSynchronize(state.mining_stream.stream), "pool pipeline final prep synchronize");
  check_cuda(cudaStreamSynchronize(state.aux_stream.stream),
             "pool pipeline final prep aux synchronize");
  check_cuda(cudaStreamSynchronize(mine.stream), "pool pipeline final mine synchronize");
  const char* slot_steps[2] = {"pool pipeline final slot 0 synchronize",
                               "pool pipeline final slot 1 synchronize"};
  for (int slot = 0; slot < 2; ++slot) {
    if (proof_in_flight[slot]) check_cuda(cudaEventSynchronize(reusable[slot].event), slot_steps[slot]);
    proof_in_flight[slot] = false;
  }
  if (state.submitter) {
    state.submitter->stop();
    state.submitter->rethrow_worker_error();
  }
  check_cuda(cudaStreamSynchronize(state.proof_stream.stream), "pool pipeline final proof stream drain");
  mine.reset();
  state.workspace.reset();
  second.reset();
}

}  // namespace

void run_pool_pipeline(MinerState& state) {
  dev_fee_tick(state);  // the window cannot be open yet; this keeps the login state exact
  take_first_job(state);
  const MiningJob first_job = state.cached_job;

  Config shape = state.config;
  shape.m = first_job.m;
  shape.n = first_job.n;
  shape.k = first_job.k;
  shape.rank = first_job.rank;
  ensure_workspace(state, shape, state.workspace ? "pool_profile_change" : "pool_profile");
  const Config& c = state.config;

  PoolPipeline p(state);
  // Whatever ends the run, nothing may still read the slots when they go.
  struct DrainOnExit {
    ~DrainOnExit() { cudaDeviceSynchronize(); }
  } drain_on_exit;
  p.second = std::make_unique<DeviceWorkspace>(c, *state.row, false);
  if (state.b200_mode.priority) {
    create_high_priority_stream(p.mine.stream, "create pool pipeline mine stream");
  } else {
    create_nonblocking_stream(p.mine.stream, "create pool pipeline mine stream");
  }
  p.prep_done[0] = create_untimed_event("create pool pipeline prep 0 event");
  p.prep_done[1] = create_untimed_event("create pool pipeline prep 1 event");
  p.reusable[0] = create_untimed_event("create pool pipeline slot 0 event");
  p.reusable[1] = create_untimed_event("create pool pipeline slot 1 event");
  p.slots[0].workspace = state.workspace.get();
  p.slots[1].workspace = p.second.get();

  StatusCounters counters;
  counters.start_ns = steady_now_ns();
  const bool overlap = !state.b200_row || state.b200_mode.mode != 0;
  const int mode = state.b200_mode.mode;
  p.prepare_pool_job(0, 0, first_job, 0, kPrepStageCount);
  check_cuda(cudaEventSynchronize(p.prep_done[0].event), "pool pipeline initial prepare synchronize");

  int64_t a = 0;
  for (;;) {
    if (c.max_attempts > 0 && a >= c.max_attempts) break;
    if (state.submitter) state.submitter->rethrow_worker_error();
    const int slot = static_cast<int>(a % 2);
    DeviceWorkspace& w = *p.slots[slot].workspace;
    check_cuda(cudaStreamWaitEvent(p.mine.stream, p.prep_done[slot].event, 0),
               "pool pipeline mine waits for prep");
    check_cuda(state.row->launch_headless_mine(
                   w.a_noised.data, w.b_noised.data, c.m, c.n, c.k, w.signal_header,
                   w.sync_word(), w.target.data,
                   reinterpret_cast<const uint32_t*>(w.a_noise_seed.data), c.rank, w.extra.data,
                   p.mine.stream),
               "pool pipeline headless mine");
    a += 1;
    const bool another = c.max_attempts <= 0 || c.max_attempts > a;
    const int next_slot = static_cast<int>(a % 2);
    const auto next = static_cast<uint64_t>(a);
    if (overlap && another) p.prepare_pool_job(next_slot, next, state.cached_job, 0, mode);
    check_cuda(cudaStreamSynchronize(p.mine.stream), "pool pipeline attempt synchronize");
    if (another) {
      if (overlap && mode >= 1 && mode <= 4) {
        p.prepare_pool_job(next_slot, next, state.cached_job, mode, kPrepStageCount);
      } else if (!overlap) {
        p.prepare_pool_job(next_slot, next, state.cached_job, 0, kPrepStageCount);
      }
    }

    bool job_changed = false;
    if (state.job_active) {
      state.attempts_on_job += 1;
      job_changed = poll_job_update(state, "flush_pipeline");
    }
    if (job_changed && another) p.flush_next_slot(next_slot, next);

    const bool hit = w.signal_header->status == 1;
    counters.hits += hit ? 1 : 0;
    counters.work += state.attempt_work();
    state.total_work += state.attempt_work();
    state.meter.record_attempt_time(steady_now_ns());
    if (job_changed && hit) {
      log_obsolete_candidate(p.slots[slot].job, state.cached_job.generation);
    } else if (hit) {
      p.found_candidate(slot);
    }
    counters.attempts = a;
    if (c.status_interval > 0 && a % c.status_interval == 0) log_status_line(counters, &state.meter);

    // The developer-fee switch, between attempts: this attempt's share goes
    // out under the login it was mined for, the reconnected pool's first job
    // replaces the cached one, and the slot prepared for the old job is redone.
    if (another && dev_fee_tick(state)) {
      take_first_job(state);
      p.flush_next_slot(next_slot, next);
    }
  }
  p.finish();
}
