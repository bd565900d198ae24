#include "diagnostics/jackpot_debug_candidate.h"

#include "core/cuda_check.h"
#include "core/log.h"
#include "diagnostics/jackpot_debug_oracle.h"
#include "engine/candidate_check.h"
#include "engine/miner_state.h"
#include "proof/candidate_rows_cols.h"

void handle_jackpot_debug_candidate(MinerState& state, const std::string& job_id) {
  const Config& c = state.config;
  DeviceWorkspace& w = *state.workspace;
  const HostSignalHeader& header = *w.signal_header;
  OpenedRowsCols opened;
  if (!announce_candidate(header, c.m, c.n, job_id, opened)) return;
  uint8_t a_seed[32];
  uint8_t b_seed[32];
  check_cuda(cudaMemcpy(a_seed, w.a_noise_seed.data, 32, cudaMemcpyDeviceToHost),
             "copy debug GPU A noise seed");
  check_cuda(cudaMemcpy(b_seed, w.b_noise_seed.data, 32, cudaMemcpyDeviceToHost),
             "copy debug GPU B noise seed");
  jackpot_debug_oracle(c, *state.row, &header, state.dump_entry_buffer.data(),
                       state.dump_value_buffer.data(), state.dump_count_buffer.data(), w.a.data,
                       w.b.data, w.a_noised.data, w.b_noised.data, a_seed, b_seed);
  log_line(LogLevel::Debug, "share", "dry_run_skip_plainproof_construction_submission=true");
}
