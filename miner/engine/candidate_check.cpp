#include "engine/candidate_check.h"

#include "backends/kernel_signal.h"
#include "core/codecs.h"
#include "core/log.h"
#include "core/log_value.h"
#include "proof/candidate_rows_cols.h"

namespace {

constexpr uint32_t kMaxPairs = sizeof(HostSignalHeader::pair_rows) / sizeof(uint16_t);

std::string outside(const char* what, int64_t index, int32_t limit) {
  return std::string(what) + " " + std::to_string(index) + " outside 0.." +
         std::to_string(static_cast<int64_t>(limit) - 1);
}

}  // namespace

std::string candidate_refusal(const HostSignalHeader& header, int32_t m, int32_t n) {
  if (header.pair_count > kMaxPairs) {
    return "pair_count " + std::to_string(header.pair_count) + " exceeds " +
           std::to_string(kMaxPairs);
  }
  const int64_t row_base = static_cast<int64_t>(header.tile_m_index) * header.tile_height;
  const int64_t col_base = static_cast<int64_t>(header.tile_n_index) * header.tile_width;
  for (uint32_t i = 0; i < header.pair_count; ++i) {
    const int64_t row = row_base + header.pair_rows[i];
    const int64_t col = col_base + header.pair_cols[i];
    if (row < 0 || row >= m) return outside("row", row, m);
    if (col < 0 || col >= n) return outside("column", col, n);
  }
  return {};
}

bool announce_candidate(const HostSignalHeader& header, int32_t m, int32_t n,
                        const std::string& job_id, OpenedRowsCols& opened) {
  const std::string refusal = candidate_refusal(header, m, n);
  if (!refusal.empty()) {
    log_line(LogLevel::Warn, "share",
             "dropped reason=invalid_candidate stage=found_candidate job=" + log_value(job_id) +
                 " detail=\"" + refusal + "\"");
    return false;
  }
  opened = candidate_rows_cols(header);
  log_info("share", "found_candidate rows=" + std::to_string(opened.rows.size()) +
                        " cols=" + std::to_string(opened.cols.size()) +
                        " tile_m=" + std::to_string(header.tile_m_index) +
                        " tile_n=" + std::to_string(header.tile_n_index) + " job=" + log_value(job_id) +
                        " kernel_hash=" + hex32(header.kernel_hash));
  return true;
}

bool log_dry_run_candidate(const HostSignalHeader& header, int32_t m, int32_t n,
                           const std::string& job_id) {
  OpenedRowsCols opened;
  if (!announce_candidate(header, m, n, job_id, opened)) return false;
  log_line(LogLevel::Debug, "share", "dry_run_skip_plainproof_construction_submission=true");
  return true;
}
