#pragma once
// Attempt timestamps and accepted share work of one device, for the share rate.
#include <cstdint>
#include <deque>
#include <mutex>

struct MiningJob;

struct ShareSample {
  int64_t time_ns = 0;
  double work = 0;
};

class ShareRateMeter {
 public:
  static constexpr size_t kMaxAttemptTimes = 8192;

  // Mining thread, once per attempt (steady-clock nanoseconds).
  void record_attempt_time(int64_t now_ns);
  // An accepted share: difficulty x 2^32 multiply-accumulates; jobs without a
  // positive difficulty add nothing.
  void record_share_work(const MiningJob& job);

  double total_work() const;
  // Share work within the kept attempt window per second, in 1e12 units;
  // the span falls back to now - start while at most one attempt is kept.
  double window_rate_th_s(int64_t now_ns, int64_t start_ns) const;

  size_t attempt_count() const;
  double window_work() const;

 private:
  void prune_samples_locked();

  mutable std::mutex mutex_;
  std::deque<int64_t> attempt_times_;
  std::deque<ShareSample> share_samples_;
  double window_work_ = 0;
  double total_work_ = 0;
};

// A loop's counters for its status line.
struct StatusCounters {
  int64_t attempts = 0;
  int64_t hits = 0;
  double work = 0;
  int64_t start_ns = 0;
};

int64_t steady_now_ns();

// "status attempts=... hits=... hashrate_th_s=... tmac_s=..." and, with a meter
// that has seen accepted shares, the share-equivalent rate.
void log_status_line(const StatusCounters& counters, const ShareRateMeter* meter);
