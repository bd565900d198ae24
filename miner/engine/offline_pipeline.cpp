#include "engine/offline_pipeline.h"

#include <memory>
#include <string>

#include "core/codecs.h"
#include "core/cuda_check.h"
#include "core/log.h"
#include "engine/candidate_check.h"
#include "engine/miner_state.h"
#include "engine/pipeline_stages.h"

namespace {

void create_pipeline_streams(const MinerState& state, StreamHolder& prep, StreamHolder& prep_aux,
                             StreamHolder& mine) {
  if (state.b200_mode.priority) {
    create_low_priority_stream(prep.stream, "create pipeline prep stream");
    create_low_priority_stream(prep_aux.stream, "create pipeline prep aux stream");
    create_high_priority_stream(mine.stream, "create pipeline mine stream");
  } else {
    create_nonblocking_stream(prep.stream, "create pipeline prep stream");
    create_nonblocking_stream(prep_aux.stream, "create pipeline prep aux stream");
    create_nonblocking_stream(mine.stream, "create pipeline mine stream");
  }
}

float elapsed_ms(cudaEvent_t from, cudaEvent_t to) {
  float ms = 0;
  if (cudaEventElapsedTime(&ms, from, to) != cudaSuccess) ms = 0;
  return ms;
}

void log_prep_profile(const PrepProfileEvents& events) {
  check_cuda(cudaEventSynchronize(events.t_sparse), "pipe profile sync");
  const double fill = elapsed_ms(events.t_start, events.t_fill);
  const double hash = elapsed_ms(events.t_fill, events.t_hash);
  const double noise = elapsed_ms(events.t_hash, events.t_noise);
  const double sparse = elapsed_ms(events.t_noise, events.t_sparse);
  const double total = elapsed_ms(events.t_start, events.t_sparse);
  log_info("miner", "prep_profile fill_a_ms=" + format_fixed2(fill) +
                        " hashA+commit_ms=" + format_fixed2(hash) +
                        " noise_gen_ms=" + format_fixed2(noise) +
                        " sparse_a_ms=" + format_fixed2(sparse) +
                        " prep_total_ms=" + format_fixed2(total));
}

}  // namespace

void run_offline_pipeline(MinerState& state) {
  const Config& c = state.config;
  // Declared in reverse order of release: the second workspace goes last,
  // after the streams that may still use it have been drained.
  auto second = std::make_unique<DeviceWorkspace>(c, *state.row, false);
  StreamHolder prep;
  StreamHolder prep_aux;
  StreamHolder mine;
  create_pipeline_streams(state, prep, prep_aux, mine);
  CudaEventHolder setup_ready = create_untimed_event("create pipeline setup event");
  CudaEventHolder hash_b_done = create_untimed_event("create pipeline hash B event");
  CudaEventHolder noise_done = create_untimed_event("create pipeline noise event");
  CudaEventHolder sparse_b_done = create_untimed_event("create pipeline sparse B event");
  CudaEventHolder prep_done[2] = {create_untimed_event("create pipeline prep 0 event"),
                                  create_untimed_event("create pipeline prep 1 event")};
  CudaEventHolder t_start = create_event("create pipe t_start");
  CudaEventHolder t_fill = create_event("create pipe t_fill");
  CudaEventHolder t_hash = create_event("create pipe t_hash");
  CudaEventHolder t_noise = create_event("create pipe t_noise");
  CudaEventHolder t_sparse = create_event("create pipe t_sparse");
  // Whatever happens below, no stream may still run when the buffers go.
  struct DrainOnExit {
    ~DrainOnExit() { cudaDeviceSynchronize(); }
  } drain_on_exit;

  PrepProfileEvents profile{c.profile, t_start.event, t_fill.event, t_hash.event, t_noise.event,
                            t_sparse.event};
  DeviceWorkspace* workspaces[2] = {state.workspace.get(), second.get()};
  bool key_uploaded[2] = {false, false};
  auto slot_target = [&](int slot) {
    PrepTarget target;
    target.step_prefix = "pipeline";
    target.workspace = workspaces[slot];
    target.prep = prep.stream;
    target.prep_aux = prep_aux.stream;
    target.setup_ready = setup_ready.event;
    target.hash_b_done = hash_b_done.event;
    target.noise_done = noise_done.event;
    target.sparse_b_done = sparse_b_done.event;
    target.prep_done = prep_done[slot].event;
    target.key_uploaded = &key_uploaded[slot];
    target.host_key = state.offline_key.data();
    target.host_target = state.offline_job.target.data();
    target.noise_in_place = true;
    target.profile = &profile;
    return target;
  };

  const bool overlap = !state.b200_row || state.b200_mode.mode != 0;
  const int mode = state.b200_mode.mode;
  StatusCounters counters;
  counters.start_ns = steady_now_ns();
  prepare_pipeline_stages(state, slot_target(0), 0, 0, kPrepStageCount);
  check_cuda(cudaEventSynchronize(prep_done[0].event), "pipeline initial prepare synchronize");

  int64_t a = 0;
  for (;;) {
    if (c.max_attempts > 0 && a >= c.max_attempts) break;
    const int slot = static_cast<int>(a % 2);
    DeviceWorkspace& w = *workspaces[slot];
    check_cuda(cudaStreamWaitEvent(mine.stream, prep_done[slot].event, 0),
               "pipeline mine wait prep");
    check_cuda(state.row->launch_headless_mine(
                   w.a.data, w.b.data, c.m, c.n, c.k, w.signal_header, w.sync_word(),
                   w.target.data, reinterpret_cast<const uint32_t*>(w.a_noise_seed.data), c.rank,
                   w.extra.data, mine.stream),
               "pipeline headless mine");
    a += 1;
    const bool another = c.max_attempts <= 0 || c.max_attempts > a;
    const int next_slot = static_cast<int>(a % 2);
    const uint64_t next = static_cast<uint64_t>(a);
    if (overlap && another) prepare_pipeline_stages(state, slot_target(next_slot), next, 0, mode);
    check_cuda(cudaStreamSynchronize(mine.stream), "pipeline attempt synchronize");
    if (another) {
      if (overlap && mode >= 1 && mode <= 4) {
        prepare_pipeline_stages(state, slot_target(next_slot), next, mode, kPrepStageCount);
      } else if (!overlap) {
        prepare_pipeline_stages(state, slot_target(next_slot), next, 0, kPrepStageCount);
      }
    }

    counters.work += state.attempt_work();
    if (w.signal_header->status == 1) {
      counters.hits += 1;
      log_dry_run_candidate(*w.signal_header, c.m, c.n, state.offline_job.job_id);
    }
    counters.attempts = a;
    if (c.status_interval > 0 && a % c.status_interval == 0) {
      log_status_line(counters, nullptr);
      if (c.profile) log_prep_profile(profile);
    }
  }
  state.total_work += counters.work;

  check_cuda(cudaStreamSynchronize(prep.stream), "pipeline final prep synchronize");
  check_cuda(cudaStreamSynchronize(prep_aux.stream), "pipeline final prep aux synchronize");
}
