#include "engine/job_source.h"

#include "core/log.h"
#include "core/log_value.h"
#include "engine/miner_state.h"
#include "pool/gateway_client.h"
#include "pool/pool_operations.h"

MiningJob refresh_job(MinerState& state) {
  if (state.pool) {
    if (state.job_active && state.attempts_on_job < state.config.stratum_job_refresh_attempts) {
      return state.cached_job;
    }
    MiningJob job;
    if (state.job_active) {
      // A busy connection or no job: the count stays, so the next call polls again.
      if (!poll_connection(*state.pool, job)) return state.cached_job;
    } else {
      job = wait_for_job(*state.pool);
      state.job_active = true;
    }
    state.cached_job = job;
    state.attempts_on_job = 0;
    if (state.submitter) state.submitter->set_active_job(state.cached_job);
    return job;
  }
  if (state.offline) return state.offline_job;
  return gateway_get_mining_info(*state.gateway, state.config);
}

bool poll_job_update(MinerState& state, const char* action) {
  if (!state.pool || !state.job_active) return false;
  if (state.attempts_on_job < state.config.stratum_job_refresh_attempts) return false;
  MiningJob polled;
  if (!poll_connection(*state.pool, polled)) return false;
  state.attempts_on_job = 0;
  if (polled.generation == state.cached_job.generation) return false;
  const MiningJob previous = state.cached_job;
  state.cached_job = polled;
  if (state.submitter) state.submitter->set_active_job(state.cached_job);
  log_info("pool", "job_update previous=" + log_value(previous.job_id) +
                       " previous_generation=" + std::to_string(previous.generation) +
                       " next=" + log_value(polled.job_id) +
                       " next_generation=" + std::to_string(polled.generation) +
                       " clean=" + (polled.clean ? "true" : "false") + " action=" + action);
  return true;
}

void log_obsolete_candidate(const MiningJob& job, uint64_t active_generation) {
  log_line(LogLevel::Debug, "share",
           "dropped reason=obsolete_job stage=found_candidate job=" + log_value(job.job_id) +
               " generation=" + std::to_string(job.generation) +
               " active_generation=" + std::to_string(active_generation));
}
