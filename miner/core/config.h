#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/pool_endpoints.h"
#include "core/pool_password.h"

// The settings of one run: defaults, then HEADLESS_MINER_* variables, then the
// command line. Each mining thread works on its own copy.
struct Config {
  bool dry_run = false;
  bool profile = false;
  bool debug_transcript = false;
  bool debug_logs = false;
  bool sync_proof_submit = false;
  bool proof_self_test = false;
  bool proof_bench = false;
  bool gpu_proof_bench = false;
  bool benchmark_headless_only = false;
  bool list_devices = false;
  ColorMode color_mode = ColorMode::Auto;
  bool dump_coords = false;
  bool debug_dump = false;
  bool debug_gemm_tile = false;
  bool debug_native_exact_rank_tile = false;
  bool cuda_schedule_spin = false;
  bool disable_b_reuse = false;
  int64_t max_attempts = 0;          // above 0: stop after that many attempts
  int32_t status_interval = 10;      // 0 or less: no status lines
  int32_t stratum_job_refresh_attempts = 1;
  std::string transport = "uds";     // "tcp" for TCP, anything else a unix socket
  std::string socket_path = "/tmp/vexalgw.sock";
  std::string host = "127.0.0.1";
  int32_t port = 8337;
  // The shape is not bounded here; derive sizes with matrix_bytes().
  int32_t m = 131072;
  int32_t n = 131072;
  int32_t k = 4096;
  int32_t rank = 128;
  uint64_t matrix_seed = 0;
  std::string pool;                  // after parsing: the pool's host alone
  int32_t stratum_port = 3333;       // after parsing: the pool's effective port
  std::vector<Endpoint> failover_pools;
  std::string address;               // as supplied, possibly with ".worker"
  std::string worker;
  std::string login;
  std::string password = kDefaultPoolPassword;
  std::string force_backend;
  std::vector<int32_t> devices;      // empty: every device
  bool pool_configured = false;      // a pool setting exists, even an empty one
};

// What the command-line parser keeps besides the Config while it builds one.
struct ConfigSources {
  std::vector<std::string> failover_texts;  // each may hold several comma-separated endpoints
  bool explicit_port = false;               // a port inside an endpoint text is then ignored
  bool address_given = false;               // the four *_given marks: set by options only
  bool worker_given = false;
  bool password_given = false;
  bool stratum_port_given = false;
};

// A flag variable: "1", "true", "yes" or "on" in any case; false when unset.
bool env_flag(const char* name);
// Base-10 value of the variable, unchecked and cut to 32 bits; the fallback when unset.
int32_t env_int(const char* name, int32_t fallback);
// The variable's text, even when empty; the fallback only when unset.
std::string env_string(const char* name, std::string fallback);

// "auto"/"" , "always" (or 1/true/yes/on), "never" (or 0/false/no/off), any case.
ColorMode parse_color_mode(const std::string& text);
// Comma-separated int32 values; empty pieces are skipped. Throws the stoi errors.
std::vector<int32_t> parse_int_list(const std::string& text);

// Fills a default Config from the HEADLESS_MINER_* variables.
void apply_environment(Config& config, ConfigSources& sources);

// Byte size of a rows x k int8 matrix, multiplied in 64 bits so that no shape wraps.
int64_t matrix_bytes(int32_t rows, int32_t k);
