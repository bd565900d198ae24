#include "engine/miner_connections.h"

#include <string>

#include "core/log.h"
#include "engine/miner_state.h"
#include "pool/gateway_connection.h"

void open_miner_connections(MinerState& state) {
  if (state.pool_in_use) {
    state.pool = open_pool_connection(state.config);
  } else if (!state.offline) {
    state.gateway = connect_gateway(state.config);
  }
  if (state.pool && !state.config.sync_proof_submit) {
    ShareRateMeter* meter = &state.meter;
    state.submitter = std::make_unique<AsyncEncodedPlainProofSubmitter>(
        state.pool.get(), state.device, state.gpu_label,
        [meter](const MiningJob& job) { meter->record_share_work(job); });
    log_info("proof", "gpu_plainproof=true async_submit=true job_refresh_attempts=" +
                          std::to_string(state.config.stratum_job_refresh_attempts));
  }
}
