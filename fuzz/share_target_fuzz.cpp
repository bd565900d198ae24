// Share targets and difficulties from pool input: compact values, decimal
// targets and difficulty factors. Failures are the documented ones, and a
// scaled target never falls below the target it was scaled from.
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "pool/share_target.h"

namespace {

bool below(const ShareTarget& a, const ShareTarget& b) {
  for (int word = 7; word >= 0; --word) {
    if (a[word] != b[word]) return a[word] < b[word];
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  uint32_t nbits;
  int64_t factor;
  std::memcpy(&nbits, data, sizeof(nbits));
  std::memcpy(&factor, data + 4, sizeof(factor));
  const std::string digits(reinterpret_cast<const char*>(data + 12), size - 12);

  try {
    compact_to_target(nbits);
  } catch (const std::runtime_error&) {
  }
  // A pool's difficulty reaches the conversion back only when positive and finite.
  const double difficulty = compact_to_difficulty(nbits);
  if (difficulty > 0 && difficulty <= DBL_MAX) difficulty_to_compact(difficulty);
  try {
    job_share_target(nbits, factor);
  } catch (const std::runtime_error&) {
  }

  ShareTarget target{};
  try {
    target = decimal_to_target(digits);
  } catch (const std::runtime_error&) {
    return 0;
  }
  try {
    if (below(scale_share_target(target, factor), target)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
