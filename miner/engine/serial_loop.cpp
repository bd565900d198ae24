#include "engine/serial_loop.h"

#include <algorithm>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/codecs.h"
#include "core/cuda_check.h"
#include "core/job_key.h"
#include "core/log.h"
#include "diagnostics/jackpot_debug_candidate.h"
#include "engine/attempt_steps.h"
#include "engine/candidate_check.h"
#include "engine/dev_fee.h"
#include "engine/found_candidate.h"
#include "engine/job_source.h"
#include "engine/miner_state.h"

namespace {

// Runs the work and returns its seconds, measured between two device-wide
// synchronisations when profiling; otherwise just runs it.
template <typename Work>
double timed_on_device(bool profile, Work&& work) {
  if (!profile) {
    work();
    return 0;
  }
  check_cuda(cudaDeviceSynchronize(), "pre-measure synchronize");
  const int64_t begin = steady_now_ns();
  work();
  check_cuda(cudaDeviceSynchronize(), "post-measure synchronize");
  return static_cast<double>(steady_now_ns() - begin) / 1e9;
}

bool same_shape(const Config& a, const Config& b) {
  return a.m == b.m && a.n == b.n && a.k == b.k && a.rank == b.rank;
}

// The stream's default formatting of a double: six significant digits.
std::string seconds_text(double seconds) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << seconds;
  return text.str();
}

}  // namespace

void run_serial_loop(MinerState& state) {
  int64_t attempts = 0;
  uint64_t seed_offset = 0;
  int64_t hits = 0;
  bool uploaded = false;
  const bool profile = state.config.profile;

  for (;;) {
    if (state.config.max_attempts > 0 && attempts >= state.config.max_attempts) break;
    if (state.submitter) state.submitter->rethrow_worker_error();
    if (state.pool) dev_fee_tick(state);

    MiningJob job;
    const double job_seconds = timed_on_device(profile, [&] { job = refresh_job(state); });

    Config working = state.config;
    if (state.pool_in_use) {
      working.m = job.m;
      working.n = job.n;
      working.k = job.k;
      working.rank = job.rank;
    }
    if (!state.workspace) {
      ensure_workspace(state, working, "pool_profile");
    } else if (!same_shape(working, state.config)) {
      ensure_workspace(state, working, "pool_profile_change");
    }
    const Config& c = state.config;
    DeviceWorkspace& w = *state.workspace;
    cudaStream_t mining = state.mining_stream.stream;
    cudaStream_t aux = state.aux_stream.stream;

    uint8_t key[32];
    bool constant = false;
    bool parallel = state.split;
    const JobKeyPatternPair& patterns = state.key_patterns();
    if (c.debug_dump) {
      job.target.fill(0xffffffffu);
      if (state.offline) {
        std::copy(state.offline_key.begin(), state.offline_key.end(), key);
      } else {
        derive_job_key(key, job.header_bytes, static_cast<uint32_t>(c.k), c.rank, patterns.first,
                       patterns.second);
      }
      parallel = false;
    } else if (state.offline) {
      std::copy(state.offline_key.begin(), state.offline_key.end(), key);
      constant = true;
    } else {
      derive_job_key(key, job.header_bytes, static_cast<uint32_t>(c.k), c.rank, patterns.first,
                     patterns.second);
    }

    if (!(constant && uploaded)) {
      check_cuda(cudaMemcpyAsync(w.key.data, key, 32, cudaMemcpyHostToDevice, mining), "copy key");
    }
    if (parallel) check_cuda(cudaEventRecord(state.setup_ready.event, mining), "record setup ready");

    const uint64_t seed_a = c.matrix_seed + seed_offset;
    const double operand_seconds = timed_on_device(profile, [&] {
      if (parallel) {
        check_cuda(cudaStreamWaitEvent(aux, state.setup_ready.event, 0), "aux wait setup ready");
        check_cuda(state.row->launch_fill_int8(w.a.data, matrix_bytes(c.m, c.k), seed_a, mining),
                   "fill_int8 A");
        check_cuda(state.row->launch_fill_int8(w.b.data, matrix_bytes(c.n, c.k), seed_a + 1, aux),
                   "fill_int8 B");
      } else {
        check_cuda(state.row->launch_fill_int8(w.a.data, matrix_bytes(c.m, c.k), seed_a, mining),
                   "fill_int8 A");
        check_cuda(
            state.row->launch_fill_int8(w.b.data, matrix_bytes(c.n, c.k), seed_a + 1, mining),
            "fill_int8 B");
      }
    });
    const double commit_seconds =
        timed_on_device(profile, [&] { hash_and_commit_step(state, parallel); });

    if (!(constant && uploaded)) {
      check_cuda(cudaMemcpyAsync(w.target.data, job.target.data(), 32, cudaMemcpyHostToDevice,
                                 mining),
                 "copy target");
    }
    // Cleared before every launch: a stale sync word would misguide the kernel.
    check_cuda(cudaMemsetAsync(w.signal_header, 0, w.signal_header_bytes, mining),
               "clear signal header");
    check_cuda(cudaMemsetAsync(w.signal_sync.data, 0, w.signal_sync.count, mining),
               "clear signal sync");
    if (constant) uploaded = true;
    if (c.debug_dump) {
      check_cuda(cudaMemsetAsync(state.dump_entry_buffer.data(), 0,
                                 static_cast<size_t>(state.dump_entries) * 28, mining),
                 "clear jackpot debug entries");
      check_cuda(cudaMemsetAsync(state.dump_value_buffer.data(), 0,
                                 static_cast<size_t>(state.dump_values) * 4, mining),
                 "clear jackpot debug values");
      check_cuda(cudaMemsetAsync(state.dump_count_buffer.data(), 0,
                                 static_cast<size_t>(state.dump_values) * 4, mining),
                 "clear jackpot debug value counts");
    }

    double mine_seconds = 0;
    if (profile) {
      mine_seconds = timed_on_device(true, [&] { mine_attempt_step(state, parallel, constant); });
    } else {
      mine_attempt_step(state, parallel, constant);
      check_cuda(cudaStreamSynchronize(mining), "attempt synchronize");
    }

    const bool hit = w.signal_header->status == 1;
    attempts += 1;
    state.total_work += state.attempt_work();
    if (state.pool_in_use && state.job_active) state.attempts_on_job += 1;
    hits += hit ? 1 : 0;
    state.meter.record_attempt_time(steady_now_ns());
    const bool obsolete = poll_job_update(state, "drop_obsolete_work") &&
                          job.generation < state.cached_job.generation;

    if (profile) {
      const double total = ((job_seconds + operand_seconds) + commit_seconds) + mine_seconds;
      const std::string rate = format_fixed2(state.attempt_work() / std::max(total, 1e-9) / 1e12);
      log_info("profile", "attempt_profile attempt=" + std::to_string(attempts) +
                              " total_seconds=" + seconds_text(total) + " hashrate_th_s=" + rate +
                              " tmac_s=" + rate + " get_mining_info_seconds=" +
                              seconds_text(job_seconds) +
                              " make_operands_seconds=" + seconds_text(operand_seconds) +
                              " commit_seconds=" + seconds_text(commit_seconds) +
                              " mine_seconds=" + seconds_text(mine_seconds));
    }
    if (hit && c.debug_dump) {
      handle_jackpot_debug_candidate(state, job.job_id);
    } else if (hit && obsolete) {
      log_obsolete_candidate(job, state.cached_job.generation);
    } else if (hit) {
      handle_found_candidate(state, job, key);
    }
    if (c.status_interval > 0 && attempts % c.status_interval == 0) {
      log_status_line({attempts, hits, state.total_work, state.start_ns}, &state.meter);
    }
    seed_offset += 2;
  }
}
