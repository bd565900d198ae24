#include "engine/pipeline_stages.h"

#include <string>

#include "core/cuda_check.h"
#include "engine/miner_state.h"
#include "tensor_hash/tensor_hash_host.h"

namespace {

// check_cuda under "<prefix> <step>".
struct StepChecker {
  const char* prefix;
  void operator()(cudaError_t result, const char* step) const {
    const std::string name = std::string(prefix) + " " + step;
    check_cuda(result, name.c_str());
  }
};

void record_profile(const PrepTarget& t, cudaEvent_t event, const char* step) {
  if (!t.profile || !t.profile->enabled) return;
  check_cuda(cudaEventRecord(event, t.prep), step);
}

void setup_stage(const MinerState&, const PrepTarget& t, const StepChecker& check) {
  DeviceWorkspace& w = *t.workspace;
  if (t.key_uploaded && !*t.key_uploaded) {
    check(cudaMemcpyAsync(w.key.data, t.host_key, 32, cudaMemcpyHostToDevice, t.prep), "copy key");
    check(cudaMemcpyAsync(w.target.data, t.host_target, 32, cudaMemcpyHostToDevice, t.prep),
          "copy target");
    *t.key_uploaded = true;
  }
  check(cudaMemsetAsync(w.signal_header, 0, w.signal_header_bytes, t.prep), "clear signal header");
  check(cudaMemsetAsync(w.signal_sync.data, 0, w.signal_sync.count, t.prep), "clear signal sync");
  check(cudaEventRecord(t.setup_ready, t.prep), "record setup ready");
  check(cudaStreamWaitEvent(t.prep_aux, t.setup_ready, 0), "aux wait setup ready");
  if (t.profile) record_profile(t, t.profile->t_start, "pipe t_start");
}

void fill_stage(const MinerState& state, const PrepTarget& t, const StepChecker& check) {
  DeviceWorkspace& w = *t.workspace;
  const Config& c = state.config;
  const uint64_t seed_a = c.matrix_seed + 2 * t.attempt;
  check(state.row->launch_fill_int8(w.a.data, matrix_bytes(c.m, c.k), seed_a, t.prep),
        "fill_int8 A");
  if (!t.reuse_b) {
    check(state.row->launch_fill_int8(w.b.data, matrix_bytes(c.n, c.k), seed_a + 1, t.prep_aux),
          "fill_int8 B");
  }
  if (t.profile) record_profile(t, t.profile->t_fill, "pipe t_fill");
}

void hash_stage(const MinerState& state, const PrepTarget& t, const StepChecker& check) {
  DeviceWorkspace& w = *t.workspace;
  const Config& c = state.config;
  const TensorHashSettings& h = state.hash_settings;
  tensor_merkle_root(reinterpret_cast<const uint8_t*>(w.a.data),
                     static_cast<uint64_t>(matrix_bytes(c.m, c.k)), w.a_root.data, w.key.data,
                     state.a_hash_blocks, h.threads, h.stages, h.leaves, w.a_block_roots.data,
                     &state.prop, t.prep);
  if (!t.reuse_b) {
    tensor_merkle_root(reinterpret_cast<const uint8_t*>(w.b.data),
                       static_cast<uint64_t>(matrix_bytes(c.n, c.k)), w.b_root.data, w.key.data,
                       state.b_hash_blocks, h.threads, h.stages, h.leaves, w.b_block_roots.data,
                       &state.prop, t.prep_aux);
  }
  check(cudaEventRecord(t.hash_b_done, t.prep_aux), "record hash B done");
  check(cudaStreamWaitEvent(t.prep, t.hash_b_done, 0), "wait hash B done");
  commitment_hash_from_roots(w.a_root.data, w.b_root.data, w.key.data, w.a_noise_seed.data,
                             w.b_noise_seed.data, &state.prop, t.prep);
  if (t.profile) record_profile(t, t.profile->t_hash, "pipe t_hash");
}

void noise_stage(const MinerState& state, const PrepTarget& t, const StepChecker& check) {
  DeviceWorkspace& w = *t.workspace;
  const Config& c = state.config;
  check(state.row->launch_generate_noise(c.rank, c.m, c.n, c.k, w.a_row_factor.data,
                                         w.a_col_factor.data, w.b_col_factor.data,
                                         w.b_row_factor.data, w.a_noise_seed.data,
                                         w.b_noise_seed.data, t.prep),
        "noise_gen");
  if (t.profile) record_profile(t, t.profile->t_noise, "pipe t_noise");
  check(cudaEventRecord(t.noise_done, t.prep), "record noise done");
  check(cudaStreamWaitEvent(t.prep_aux, t.noise_done, 0), "aux wait noise done");
}

void sparse_stage(const MinerState& state, const PrepTarget& t, const StepChecker& check) {
  DeviceWorkspace& w = *t.workspace;
  const Config& c = state.config;
  int8_t* out_a = t.noise_in_place ? w.a.data : w.a_noised.data;
  int8_t* out_b = t.noise_in_place ? w.b.data : w.b_noised.data;
  check(state.row->launch_apply_sparse_noise(w.b.data, w.b_row_factor.data, w.b_col_factor.data,
                                             out_b, w.b_index0.data, w.b_index1.data, c.n, c.k,
                                             c.rank, t.prep_aux),
        "sparse noise B");
  check(cudaEventRecord(t.sparse_b_done, t.prep_aux), "record sparse B done");
  check(state.row->launch_apply_sparse_noise(w.a.data, w.a_row_factor.data, w.a_col_factor.data,
                                             out_a, w.a_index0.data, w.a_index1.data, c.m, c.k,
                                             c.rank, t.prep),
        "sparse noise A");
  if (t.profile) record_profile(t, t.profile->t_sparse, "pipe t_sparse");
  check(cudaStreamWaitEvent(t.prep, t.sparse_b_done, 0), "wait sparse B done");
  if (t.prep_done) check(cudaEventRecord(t.prep_done, t.prep), "record prep done");
}

}  // namespace

void run_prep_stages(const MinerState& state, const PrepTarget& target, int first, int last) {
  using Stage = void (*)(const MinerState&, const PrepTarget&, const StepChecker&);
  static constexpr Stage kStages[kPrepStageCount] = {setup_stage, fill_stage, hash_stage,
                                                     noise_stage, sparse_stage};
  const StepChecker check{target.step_prefix};
  for (int stage = first < 0 ? 0 : first; stage < last && stage < kPrepStageCount; ++stage) {
    kStages[stage](state, target, check);
  }
}

void prepare_pipeline_stages(const MinerState& state, PrepTarget target, uint64_t attempt,
                             int first, int last) {
  target.attempt = attempt;
  run_prep_stages(state, target, first, last);
}

void benchmark_prepare_step(MinerState& state) {
  PrepTarget target;
  target.step_prefix = "benchmark";
  target.workspace = state.workspace.get();
  target.attempt = 0;
  target.prep = state.mining_stream.stream;
  target.prep_aux = state.aux_stream.stream;
  target.hash_b_done = state.hash_b_done.event;
  target.noise_done = state.noise_done.event;
  target.sparse_b_done = state.sparse_b_done.event;
  target.noise_in_place = false;
  run_prep_stages(state, target, 1, kPrepStageCount);
}
