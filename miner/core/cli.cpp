#include "core/cli.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "core/errors.h"
#include "core/payout_address.h"
#include "core/usage.h"

std::string next_arg_value(int& index, int argc, char** argv, const std::string& option) {
  if (index + 1 >= argc) throw std::runtime_error("missing value for " + option);
  ++index;
  return argv[index];
}

namespace {

// Returns false when the argument is no option at all.
bool apply_argument(const std::string& arg, int& index, int argc, char** argv, Config& config,
                    ConfigSources& sources) {
  auto value = [&]() { return next_arg_value(index, argc, argv, arg); };

  if (arg == "help" || arg == "-h" || arg == "--help") {
    print_usage(std::cout);
    std::exit(0);
  } else if (arg == "--version") {
    print_version(std::cout);
    std::exit(0);
  } else if (arg == "--dry-run") {
    config.dry_run = true;
  } else if (arg == "--profile") {
    config.profile = true;
  } else if (arg == "--sync-proof-submit") {
    config.sync_proof_submit = true;
  } else if (arg == "--debug-log" || arg == "--debug-logs") {
    config.debug_logs = true;
  } else if (arg == "--cuda-schedule-spin") {
    config.cuda_schedule_spin = true;
  } else if (arg == "--disable-b-reuse") {
    config.disable_b_reuse = true;
  } else if (arg == "--color") {
    config.color_mode = parse_color_mode(value());
  } else if (arg == "--proof-self-test") {
    config.proof_self_test = true;
  } else if (arg == "--proof-bench") {
    config.proof_bench = true;
  } else if (arg == "--gpu-proof-bench") {
    config.gpu_proof_bench = true;
  } else if (arg == "--benchmark-headless-only") {
    config.benchmark_headless_only = true;
    config.dry_run = true;
  } else if (arg == "--list-devices") {
    config.list_devices = true;
  } else if (arg == "--dump-coords") {
    config.dump_coords = true;
  } else if (arg == "--debug-gemm-tile") {
    config.debug_gemm_tile = true;
  } else if (arg == "--debug-native-exact-rank-tile") {
    config.debug_native_exact_rank_tile = true;
  } else if (arg == "--debug-dump") {
    config.debug_dump = true;
    config.debug_transcript = true;
    config.dry_run = true;
  } else if (arg == "--m") {
    config.m = std::stoi(value());
  } else if (arg == "--n") {
    config.n = std::stoi(value());
  } else if (arg == "--k") {
    config.k = std::stoi(value());
  } else if (arg == "--rank") {
    config.rank = std::stoi(value());
  } else if (arg == "--max-attempts") {
    config.max_attempts = std::stoll(value());
  } else if (arg == "--status-interval") {
    config.status_interval = std::stoi(value());
  } else if (arg == "--stratum-job-refresh-attempts") {
    config.stratum_job_refresh_attempts = std::stoi(value());
  } else if (arg == "--transport" || arg == "--socket-path" || arg == "--host" ||
             arg == "--port") {
    throw CliUsageError(
        "gateway/solo mining flags are temporarily disabled. Use --pool and --address for pool "
        "mining.");
  } else if (arg == "--pool") {
    config.pool = value();
    config.pool_configured = true;
  } else if (arg == "--failover-pools") {
    sources.failover_texts.push_back(value());
  } else if (arg == "--stratum-port") {
    config.stratum_port = parse_port(value(), "--stratum-port");
    sources.explicit_port = true;
    sources.stratum_port_given = true;
  } else if (arg == "--address") {
    config.address = value();
    sources.address_given = true;
  } else if (arg == "--worker") {
    config.worker = value();
    sources.worker_given = true;
  } else if (arg == "--password") {
    config.password = value();
    sources.password_given = true;
  } else if (arg == "--force-backend") {
    config.force_backend = value();
  } else if (arg == "--devices") {
    config.devices = parse_int_list(value());
  } else {
    return false;
  }
  return true;
}

void resolve_endpoints(Config& config, const ConfigSources& sources) {
  if (!config.pool.empty()) {
    const Endpoint pool =
        parse_pool_endpoint(config.pool, config.stratum_port, sources.explicit_port, "--pool");
    config.pool = pool.host;
    config.stratum_port = pool.port;
  }
  // A failover entry without its own port takes the pool's port.
  config.failover_pools.clear();
  for (const std::string& text : sources.failover_texts) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(',', start);
      if (end == std::string::npos) end = text.size();
      const std::string piece = trim_whitespace(text.substr(start, end - start));
      if (!piece.empty()) {
        config.failover_pools.push_back(parse_pool_endpoint(
            piece, config.stratum_port, sources.explicit_port, "--failover-pools"));
      }
      start = end + 1;
    }
  }
}

std::string derive_login(const Config& config) {
  if (config.address.empty()) return std::string();
  if (config.worker.empty()) return config.address;
  if (config.worker.front() == '.') return config.address + config.worker;
  return config.address + "." + config.worker;
}

}  // namespace

Config parse_cli_config(int argc, char** argv) {
  Config config;
  ConfigSources sources;
  apply_environment(config, sources);

  for (int index = 1; index < argc; ++index) {
    const std::string arg = argv[index];
    if (!apply_argument(arg, index, argc, argv, config, sources)) {
      throw std::runtime_error("unknown argument: " + arg);
    }
  }

  resolve_endpoints(config, sources);

  if (!config.pool.empty() && config.address.empty()) {
    throw CliUsageError(
        "missing required flag --address for Stratum pool mode (--pool was supplied). Run "
        "`korvath help`.");
  }
  if (!config.address.empty()) check_payout_address(config.address);
  config.login = derive_login(config);

  const bool marks_given = sources.address_given || sources.worker_given ||
                           sources.password_given || sources.stratum_port_given;
  if (config.pool.empty() && (!config.address.empty() || !config.worker.empty() || marks_given)) {
    throw CliUsageError(
        "missing required flag --pool for Stratum pool mode (an address/worker/port/password was "
        "supplied). Run `korvath help`.");
  }

  const bool has_mode = config.proof_self_test || config.proof_bench || config.gpu_proof_bench ||
                        config.benchmark_headless_only || config.list_devices ||
                        config.dump_coords || config.debug_gemm_tile ||
                        config.debug_native_exact_rank_tile || config.dry_run ||
                        config.pool_configured;
  if (!has_mode) {
    throw CliUsageError(
        "missing required pool endpoint. Supply --pool and --address. Run `korvath help`.");
  }
  if (config.stratum_job_refresh_attempts < 1) {
    throw CliUsageError("--stratum-job-refresh-attempts must be >= 1");
  }
  return config;
}
