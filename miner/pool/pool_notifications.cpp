#include "pool/pool_notifications.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/codecs.h"
#include "core/log.h"
#include "core/log_value.h"
#include "pool/json_fields.h"
#include "pool/json_text.h"
#include "pool/pool_connection.h"
#include "pool/share_target.h"

namespace {

std::string hex8(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%08x", value);
  return buf;
}

// share_nbits text as base-16 (std::stoul rules), low 32 bits.
uint32_t parse_nbits(const std::string& text) {
  return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

void apply_share_nbits(MiningJob& job, const std::string& nbits_text) {
  job.share_nbits = nbits_text;
  const uint32_t nbits = parse_nbits(nbits_text);
  job.difficulty = compact_to_difficulty(nbits);
  job.target = job_share_target(nbits, difficulty_factor(job));
}

}  // namespace

void handle_mining_notify(PoolConnection& conn, const std::string& line) {
  const std::vector<std::string> params = split_json_array(json_array_field(line, "params"));
  if (params.size() < 7) throw std::runtime_error("malformed mining.notify");
  MiningJob job;
  // The id goes back to the pool in mining.submit: keep its value whole,
  // backslashes included.
  job.job_id = json_element_text(params[0]);
  job.m = conn.m;
  job.n = conn.n;
  job.k = conn.k;
  job.rank = conn.rank;
  job.rows_pattern = conn.rows_pattern;
  job.cols_pattern = conn.cols_pattern;
  job.header_bytes = hex_decode(trim_unquote(params[2]));
  job.header_b64 = base64_encode(job.header_bytes);
  const std::string pool_nbits = trim_unquote(params[5]);
  const std::string clean = trim_unquote(params[6]);
  job.clean = clean == "true" || clean == "1" || clean == "yes";
  job.generation = ++conn.job_generation;
  apply_share_nbits(job, conn.has_share_nbits_override ? conn.share_nbits_override : pool_nbits);

  conn.job = std::move(job);
  conn.has_job = true;
  log_line(LogLevel::Debug, "pool",
           "job id=" + log_value(conn.job.job_id) + " generation=" + std::to_string(conn.job.generation) +
               " clean=" + (conn.job.clean ? "true" : "false") + " share_nbits=" + log_value(conn.job.share_nbits) +
               " difficulty=" + format_fixed2(conn.job.difficulty));
}

void handle_set_difficulty(PoolConnection& conn, const std::string& line) {
  const std::vector<std::string> params = split_json_array(json_array_field(line, "params"));
  if (params.empty()) throw std::runtime_error("malformed mining.set_difficulty");
  const double d = std::stod(trim_unquote(params[0]));
  if (!(d > 0 && d <= DBL_MAX)) throw std::runtime_error("invalid mining.set_difficulty value");
  const std::string nbits_text = hex8(difficulty_to_compact(d));
  conn.share_nbits_override = nbits_text;
  conn.has_share_nbits_override = true;
  if (conn.has_job) {
    // In place: copies already handed out keep their old target.
    apply_share_nbits(conn.job, nbits_text);
  }
  log_info("pool", "difficulty_set difficulty=" + format_fixed2(d) + " share_nbits=" + nbits_text);
}

void handle_set_mining_params(PoolConnection& conn, const std::string& line) {
  const int32_t m = std::stoi(json_int_field(line, "m"));
  const int32_t n = std::stoi(json_int_field(line, "n"));
  const int32_t k = std::stoi(json_int_field(line, "k"));
  const int32_t rank = std::stoi(json_int_field(line, "rank"));
  std::vector<int32_t> rows = json_int_array_field(line, "rows_pattern");
  std::vector<int32_t> cols = json_int_array_field(line, "cols_pattern");

  const bool changed = conn.has_mining_params &&
                       (m != conn.m || n != conn.n || k != conn.k || rank != conn.rank ||
                        rows != conn.rows_pattern || cols != conn.cols_pattern);
  conn.m = m;
  conn.n = n;
  conn.k = k;
  conn.rank = rank;
  conn.rows_pattern = std::move(rows);
  conn.cols_pattern = std::move(cols);
  conn.has_mining_params = true;
  if (changed) conn.has_job = false;
  log_info("pool", "mining_params m=" + std::to_string(m) + " n=" + std::to_string(n) +
                       " k=" + std::to_string(k) + " rank=" + std::to_string(rank) +
                       " h=" + std::to_string(conn.rows_pattern.size()) +
                       " w=" + std::to_string(conn.cols_pattern.size()) +
                       (changed ? " profile_changed=true" : ""));
  // Parameters arriving mid-connection get the same scrutiny as the handshake's.
  check_pool_shape(conn);
}

void check_pool_shape(const PoolConnection& conn) {
  const Config& config = conn.config;
  const std::vector<int32_t> expected_rows{0, 32};
  if (conn.m != config.m || conn.n != config.n || conn.rank != config.rank ||
      conn.rows_pattern != expected_rows || conn.cols_pattern != default_opened_columns()) {
    throw std::runtime_error("pool mining config uses unsupported m/n/rank/row/col profile");
  }
  if (conn.rank <= 0 || conn.k <= 0 || conn.k % conn.rank != 0) {
    throw std::runtime_error("pool mining config uses unsupported k/rank shape");
  }
}
