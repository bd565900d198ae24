#include "engine/attempt_steps.h"

#include <stdexcept>
#include <string>

#include "core/cuda_check.h"
#include "engine/miner_state.h"
#include "tensor_hash/tensor_hash_host.h"

void hash_and_commit_step(MinerState& state, bool parallel) {
  DeviceWorkspace& w = *state.workspace;
  const Config& c = state.config;
  const TensorHashSettings& h = state.hash_settings;
  const auto a_bytes = static_cast<uint64_t>(matrix_bytes(c.m, c.k));
  const auto b_bytes = static_cast<uint64_t>(matrix_bytes(c.n, c.k));
  tensor_merkle_root(reinterpret_cast<const uint8_t*>(w.a.data), a_bytes, w.a_root.data,
                     w.key.data, state.a_hash_blocks, h.threads, h.stages, h.leaves,
                     w.a_block_roots.data, &state.prop, state.mining_stream.stream);
  if (parallel) {
    tensor_merkle_root(reinterpret_cast<const uint8_t*>(w.b.data), b_bytes, w.b_root.data,
                       w.key.data, state.b_hash_blocks, h.threads, h.stages, h.leaves,
                       w.b_block_roots.data, &state.prop, state.aux_stream.stream);
    check_cuda(cudaEventRecord(state.hash_b_done.event, state.aux_stream.stream),
               "record hash B done");
    check_cuda(cudaStreamWaitEvent(state.mining_stream.stream, state.hash_b_done.event, 0),
               "wait hash B done");
  } else {
    tensor_merkle_root(reinterpret_cast<const uint8_t*>(w.b.data), b_bytes, w.b_root.data,
                       w.key.data, state.b_hash_blocks, h.threads, h.stages, h.leaves,
                       w.a_block_roots.data, &state.prop, state.mining_stream.stream);
  }
  commitment_hash_from_roots(w.a_root.data, w.b_root.data, w.key.data, w.a_noise_seed.data,
                             w.b_noise_seed.data, &state.prop, state.mining_stream.stream);
}

void mine_attempt_step(MinerState& state, bool parallel, bool constant) {
  DeviceWorkspace& w = *state.workspace;
  const GpuBackendDescriptor& row = *state.row;
  const Config& c = state.config;
  cudaStream_t mining = state.mining_stream.stream;
  cudaStream_t aux = state.aux_stream.stream;
  const auto* target = w.target.data;
  const auto* seed = reinterpret_cast<const uint32_t*>(w.a_noise_seed.data);

  check_cuda(row.launch_generate_noise(c.rank, c.m, c.n, c.k, w.a_row_factor.data,
                                       w.a_col_factor.data, w.b_col_factor.data,
                                       w.b_row_factor.data, w.a_noise_seed.data,
                                       w.b_noise_seed.data, mining),
             "noise_gen");
  if (c.debug_dump) {
    if (!row.launch_noise_and_mine_dump) {
      throw std::runtime_error(std::string("backend ") + row.name +
                               " has no jackpot-dump mining in this build");
    }
    check_cuda(row.launch_noise_and_mine_dump(
                   w.a.data, w.b.data, w.a_row_factor.data, w.b_row_factor.data,
                   w.a_col_factor.data, w.b_col_factor.data, w.a_noised.data, w.b_noised.data,
                   w.a_index0.data, w.a_index1.data, w.b_index0.data, w.b_index1.data, c.m, c.n,
                   c.k, c.rank, w.signal_header, w.sync_word(), target, seed,
                   state.dump_entry_buffer.data(), state.dump_value_buffer.data(),
                   state.dump_count_buffer.data(), state.rank_steps, mining),
               "sparse_headless_mine_debug");
    return;
  }
  if (!parallel) {
    check_cuda(row.launch_noise_and_mine(
                   w.a.data, w.b.data, w.a_row_factor.data, w.b_row_factor.data,
                   w.a_col_factor.data, w.b_col_factor.data, w.a_noised.data, w.b_noised.data,
                   w.a_index0.data, w.a_index1.data, w.b_index0.data, w.b_index1.data, c.m, c.n,
                   c.k, c.rank, w.signal_header, w.sync_word(), target, seed, w.extra.data, mining),
               "sparse_headless_mine");
    return;
  }
  int8_t* noised_a = constant ? w.a.data : w.a_noised.data;
  int8_t* noised_b = constant ? w.b.data : w.b_noised.data;
  check_cuda(cudaEventRecord(state.noise_done.event, mining), "record noise done");
  check_cuda(cudaStreamWaitEvent(aux, state.noise_done.event, 0), "aux wait noise done");
  check_cuda(row.launch_apply_sparse_noise(w.b.data, w.b_row_factor.data, w.b_col_factor.data,
                                           noised_b, w.b_index0.data, w.b_index1.data, c.n, c.k,
                                           c.rank, aux),
             "sparse noise B");
  check_cuda(cudaEventRecord(state.sparse_b_done.event, aux), "record sparse B done");
  check_cuda(row.launch_apply_sparse_noise(w.a.data, w.a_row_factor.data, w.a_col_factor.data,
                                           noised_a, w.a_index0.data, w.a_index1.data, c.m, c.k,
                                           c.rank, mining),
             "sparse noise A");
  check_cuda(cudaStreamWaitEvent(mining, state.sparse_b_done.event, 0), "wait sparse B done");
  check_cuda(row.launch_headless_mine(noised_a, noised_b, c.m, c.n, c.k, w.signal_header,
                                      w.sync_word(), target, seed, c.rank, w.extra.data, mining),
             "headless mine");
}
