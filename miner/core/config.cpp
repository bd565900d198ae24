#include "core/config.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "core/errors.h"

namespace {

std::string to_lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The stratum port variable overrides every endpoint's port, so a value that is not
// a usable port would leave the miner retrying a dead address: refuse it up front.
int32_t env_stratum_port(const char* name) {
  try {
    return parse_port(env_string(name, std::string()), name);
  } catch (const std::out_of_range&) {
    throw CliUsageError(std::string(name) + " port must be between 1 and 65535");
  }
}

}  // namespace

bool env_flag(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return false;
  const std::string text = to_lower(value);
  return text == "1" || text == "true" || text == "yes" || text == "on";
}

int32_t env_int(const char* name, int32_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  const long long parsed = std::strtoll(value, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(parsed));
}

std::string env_string(const char* name, std::string fallback) {
  const char* value = std::getenv(name);
  return value == nullptr ? fallback : std::string(value);
}

ColorMode parse_color_mode(const std::string& text) {
  const std::string lower = to_lower(text);
  if (lower.empty() || lower == "auto") return ColorMode::Auto;
  if (lower == "always" || lower == "1" || lower == "true" || lower == "yes" || lower == "on") {
    return ColorMode::Always;
  }
  if (lower == "never" || lower == "0" || lower == "false" || lower == "no" || lower == "off") {
    return ColorMode::Never;
  }
  throw CliUsageError("invalid color mode: " + text + " (expected auto, always, or never)");
}

std::vector<int32_t> parse_int_list(const std::string& text) {
  std::vector<int32_t> values;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) values.push_back(std::stoi(text.substr(start, end - start)));
    start = end + 1;
  }
  return values;
}

void apply_environment(Config& config, ConfigSources& sources) {
  config.profile = env_flag("HEADLESS_MINER_PROFILE");
  config.debug_transcript = env_flag("HEADLESS_MINER_DEBUG_TRANSCRIPT");
  config.debug_logs = env_flag("HEADLESS_MINER_DEBUG_LOGS");
  config.cuda_schedule_spin = env_flag("HEADLESS_MINER_CUDA_SCHEDULE_SPIN");
  config.disable_b_reuse = env_flag("HEADLESS_MINER_DISABLE_B_REUSE");
  config.color_mode = parse_color_mode(env_string("HEADLESS_MINER_COLOR", "auto"));
  config.sync_proof_submit = env_flag("HEADLESS_MINER_SYNC_PROOF_SUBMIT");
  config.status_interval = env_int("HEADLESS_MINER_STATUS_INTERVAL", 10);
  config.stratum_job_refresh_attempts = env_int("HEADLESS_MINER_STRATUM_JOB_REFRESH_ATTEMPTS", 1);
  config.pool = env_string("HEADLESS_MINER_POOL", std::string());
  const bool stratum_port_set = std::getenv("HEADLESS_MINER_STRATUM_PORT") != nullptr;
  if (stratum_port_set) config.stratum_port = env_stratum_port("HEADLESS_MINER_STRATUM_PORT");
  const std::string failover = env_string("HEADLESS_MINER_FAILOVER_POOLS", std::string());
  if (!failover.empty()) sources.failover_texts.push_back(failover);
  config.address = env_string("HEADLESS_MINER_ADDRESS", std::string());
  config.worker = env_string("HEADLESS_MINER_WORKER", std::string());
  config.password = env_string("HEADLESS_MINER_PASSWORD", kDefaultPoolPassword);
  config.force_backend = env_string("HEADLESS_MINER_FORCE_BACKEND", std::string());
  config.pool_configured = std::getenv("HEADLESS_MINER_POOL") != nullptr;
  const std::string devices = env_string("HEADLESS_MINER_CUDA_DEVICES", std::string());
  if (!devices.empty()) config.devices = parse_int_list(devices);
  if (stratum_port_set) sources.explicit_port = true;
}

int64_t matrix_bytes(int32_t rows, int32_t k) {
  return static_cast<int64_t>(rows) * static_cast<int64_t>(k);
}
