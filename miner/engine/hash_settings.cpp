#include "engine/hash_settings.h"

#include <cstdlib>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace {

uint32_t read_tuning(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (!text || text[0] < '0' || text[0] > '9') return fallback;
  const unsigned long value = std::strtoul(text, nullptr, 10);
  const uint32_t low = static_cast<uint32_t>(value);
  return value == 0 ? fallback : low;
}

void require_one_of(const char* name, uint32_t value, const char* supported,
                    std::initializer_list<uint32_t> allowed) {
  for (const uint32_t candidate : allowed) {
    if (value == candidate) return;
  }
  throw std::runtime_error(std::string("tensor hash settings: ") + name + "=" +
                           std::to_string(value) + " is not supported (supported: " + supported +
                           ")");
}

}  // namespace

TensorHashSettings read_tensor_hash_settings() {
  TensorHashSettings settings;
  settings.threads = read_tuning("VEXAL_HASH_THREADS", settings.threads);
  settings.stages = read_tuning("VEXAL_HASH_STAGES", settings.stages);
  settings.leaves = read_tuning("VEXAL_HASH_LEAVES", settings.leaves);
  return settings;
}

void check_tensor_hash_settings(const TensorHashSettings& settings, const cudaDeviceProp& prop) {
  require_one_of("VEXAL_HASH_THREADS", settings.threads, "128, 256, 512", {128, 256, 512});
  require_one_of("VEXAL_HASH_LEAVES", settings.leaves, "256, 512, 1024", {256, 512, 1024});
  const bool pipelined_path = prop.major >= 9 && prop.major <= 11;
  if (pipelined_path) {
    require_one_of("VEXAL_HASH_STAGES", settings.stages, "2, 3, 4", {2, 3, 4});
  }
}
