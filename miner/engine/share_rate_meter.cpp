#include "engine/share_rate_meter.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "core/codecs.h"
#include "core/log.h"
#include "core/mining_job.h"

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ShareRateMeter::prune_samples_locked() {
  while (attempt_times_.size() > kMaxAttemptTimes) attempt_times_.pop_front();
  if (attempt_times_.empty()) return;
  const int64_t oldest = attempt_times_.front();
  while (!share_samples_.empty() && share_samples_.front().time_ns < oldest) {
    window_work_ -= share_samples_.front().work;
    share_samples_.pop_front();
  }
}

void ShareRateMeter::record_attempt_time(int64_t now_ns) {
  std::lock_guard<std::mutex> lock(mutex_);
  attempt_times_.push_back(now_ns);
  prune_samples_locked();
}

void ShareRateMeter::record_share_work(const MiningJob& job) {
  if (!(job.difficulty > 0)) return;
  const double work = job.difficulty * 4294967296.0;
  const int64_t now = steady_now_ns();
  if (!(work > 0)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  share_samples_.push_back({now, work});
  window_work_ += work;
  total_work_ += work;
  prune_samples_locked();
}

double ShareRateMeter::total_work() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_work_;
}

double ShareRateMeter::window_work() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return window_work_;
}

size_t ShareRateMeter::attempt_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attempt_times_.size();
}

double ShareRateMeter::window_rate_th_s(int64_t now_ns, int64_t start_ns) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t span =
      attempt_times_.size() > 1 ? now_ns - attempt_times_.front() : now_ns - start_ns;
  return window_work_ / std::max(1e-9, static_cast<double>(span) / 1e9) / 1e12;
}

void log_status_line(const StatusCounters& counters, const ShareRateMeter* meter) {
  const int64_t now = steady_now_ns();
  const double elapsed = static_cast<double>(now - counters.start_ns) / 1e9;
  const std::string rate = format_fixed2(counters.work / std::max(1e-9, elapsed) / 1e12);
  std::string text = "status attempts=" + std::to_string(counters.attempts) +
                     " hits=" + std::to_string(counters.hits) + " hashrate_th_s=" + rate +
                     " tmac_s=" + rate;
  if (meter && meter->total_work() > 0) {
    const std::string share_rate = format_fixed2(meter->window_rate_th_s(now, counters.start_ns));
    text += " share_equiv_th_s=" + share_rate + " share_equiv_tmac_s=" + share_rate;
  }
  log_info("miner", text);
}
