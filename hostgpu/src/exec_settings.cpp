#include "exec_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace hostgpu::detail {
namespace {

bool parse_seed(const std::string& text, uint64_t* seed) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  *seed = value;
  return true;
}

// As the runtime reads HOSTGPU_POISON: on only when "1".
bool flag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string(value) == "1";
}

// Each distinct seed is announced once per process.
void announce_seed(const char* variable, uint64_t seed) {
  static std::mutex mutex;
  static bool announced = false;
  static uint64_t last = 0;
  std::lock_guard<std::mutex> lock(mutex);
  if (announced && last == seed) return;
  announced = true;
  last = seed;
  std::fprintf(stderr, "hostgpu: %s schedule seed %llu\n", variable, static_cast<unsigned long long>(seed));
}


// A freedom's switch: "1" on, "0" off, unset or empty: the hostile default.
bool freedom(const char* name, bool hostile) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return hostile;
  const std::string text(value);
  if (text == "1") return true;
  if (text == "0") return false;
  throw std::invalid_argument(std::string(name) + "=" + text + " (expected 0 or 1)");
}

void read_freedoms(ExecutionSettings* settings, bool hostile) {
  settings->late_arrivals = freedom("HOSTGPU_LATE_ARRIVALS", hostile);
  settings->resident = freedom("HOSTGPU_RESIDENT", hostile);
  settings->stagger = freedom("HOSTGPU_STAGGER", hostile);
  settings->run_ahead = freedom("HOSTGPU_RUN_AHEAD", hostile);
  settings->yields = freedom("HOSTGPU_YIELDS", hostile);
  settings->early_copies = freedom("HOSTGPU_EARLY_COPIES", hostile);
  settings->late_mma = freedom("HOSTGPU_LATE_MMA", hostile);
  settings->late_tensor_memory = freedom("HOSTGPU_LATE_TMEM", hostile);
  settings->strict_tensor_memory = freedom("HOSTGPU_STRICT_TENSOR_MEMORY", false);
}

}  // namespace

bool parse_schedule(const std::string& text, ScheduleKind* kind, uint64_t* seed) {
  if (text.empty() || text == "ordered") {
    *kind = ScheduleKind::ordered;
    return true;
  }
  if (text == "reverse") {
    *kind = ScheduleKind::reverse;
    return true;
  }
  const std::string prefix = "shuffle:";
  if (text.compare(0, prefix.size(), prefix) == 0 && parse_seed(text.substr(prefix.size()), seed)) {
    *kind = ScheduleKind::shuffle;
    return true;
  }
  return false;
}

ExecutionSettings read_execution_settings() {
  ExecutionSettings settings;
  if (const char* hostile = std::getenv("HOSTGPU_HOSTILE"); hostile != nullptr && *hostile != '\0') {
    if (!parse_seed(hostile, &settings.seed)) {
      throw std::invalid_argument(std::string("HOSTGPU_HOSTILE=") + hostile + " (expected a seed)");
    }
    settings.schedule = ScheduleKind::shuffle;
    settings.poison = true;
    settings.late_copies = true;
    read_freedoms(&settings, true);
    announce_seed("HOSTGPU_HOSTILE", settings.seed);
    return settings;
  }
  if (const char* schedule = std::getenv("HOSTGPU_SCHEDULE"); schedule != nullptr) {
    if (!parse_schedule(schedule, &settings.schedule, &settings.seed)) {
      throw std::invalid_argument(std::string("HOSTGPU_SCHEDULE=") + schedule +
                                  " (expected ordered, reverse or shuffle:SEED)");
    }
    if (settings.schedule == ScheduleKind::shuffle) announce_seed("HOSTGPU_SCHEDULE", settings.seed);
  }
  settings.poison = flag("HOSTGPU_POISON");
  settings.late_copies = flag("HOSTGPU_LATE_COPIES");
  read_freedoms(&settings, false);
  return settings;
}

}  // namespace hostgpu::detail
