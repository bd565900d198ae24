#include "engine/device_identity.h"

#include <unistd.h>

#include <chrono>
#include <random>

namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

}  // namespace

uint64_t mix64(uint64_t x) {
  uint64_t z = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t derive_matrix_seed(int device, int worker_index, int worker_count) {
  std::random_device random("default");
  uint64_t state = 0x76657861ull;
  for (int i = 0; i < 4; ++i) {
    const uint64_t drawn = static_cast<uint32_t>(random());
    state ^= drawn << (32 * (i % 2));
    state = mix64(state + kGolden);
  }
  const int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const int64_t pid = static_cast<int64_t>(getpid());
  const uint64_t device_word = static_cast<uint64_t>(static_cast<uint32_t>(device + 1)) << 32;
  const uint64_t index_word = static_cast<uint64_t>(static_cast<int64_t>(worker_index));
  const uint64_t count_word = static_cast<uint64_t>(static_cast<int64_t>(worker_count + 1)) << 16;
  uint64_t seed = state ^ mix64(static_cast<uint64_t>(wall) + kGolden) ^
                  mix64(static_cast<uint64_t>(pid) + kGolden) ^ mix64(device_word + kGolden) ^
                  mix64(index_word + kGolden + 1) ^ mix64(count_word + kGolden);
  if (seed == 0) seed = 0x7b89b3e4954ab388ull;
  return seed;
}

std::string expand_worker_name(const std::string& login, int device, int worker_index) {
  const bool has_placeholder = login.find("{device}") != std::string::npos ||
                               login.find("{index}") != std::string::npos;
  if (!has_placeholder) return login + ".gpu" + std::to_string(device);
  std::string expanded = login;
  replace_all(expanded, "{device}", std::to_string(device));
  replace_all(expanded, "{index}", std::to_string(worker_index));
  return expanded;
}
