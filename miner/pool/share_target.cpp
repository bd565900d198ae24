#include "pool/share_target.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/log.h"

namespace {

// log2(65535) to the full 64-bit mantissa of extended precision.
constexpr long double kLog2Of65535 = 15.99997798605273604449798348692167764L;

// Expands a compact value; false when it lies beyond 256 bits.
bool expand_compact(uint32_t nbits, ShareTarget& target) {
  const uint32_t mantissa = nbits & 0x7fffffu;
  const uint32_t exponent = (nbits >> 24) & 0xffu;
  if (mantissa == 0) throw std::runtime_error("compact target has zero mantissa");
  target = {};
  if (exponent <= 3) {
    target[0] = mantissa >> (8 * (3 - exponent));
    return true;
  }
  const uint32_t shift = exponent - 3;
  if (shift > 31) return false;
  const uint64_t value = static_cast<uint64_t>(mantissa) << (8 * (shift % 4));
  const uint32_t word = shift / 4;
  target[word] = static_cast<uint32_t>(value);
  const uint32_t high = static_cast<uint32_t>(value >> 32);
  if (high != 0) {
    if (word + 1 > 7) return false;
    target[word + 1] = high;
  }
  return true;
}

// Multiplies in place; false when the product needs more than 256 bits.
bool multiply_target(ShareTarget& target, uint64_t factor) {
  uint64_t carry = 0;
  for (uint32_t& word : target) {
    const uint64_t product = static_cast<uint64_t>(word) * factor + carry;
    word = static_cast<uint32_t>(product);
    carry = product >> 32;
  }
  return carry == 0;
}

std::string hex8(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%08x", value);
  return buf;
}

void warn_saturated(const std::string& detail) {
  log_line(LogLevel::Warn, "pool",
           "share_target_saturated " + detail + " action=accept_every_digest");
}

}  // namespace

ShareTarget compact_to_target(uint32_t nbits) {
  ShareTarget target{};
  if (!expand_compact(nbits, target)) throw std::runtime_error("compact target exceeds uint256");
  return target;
}

double compact_to_difficulty(uint32_t nbits) {
  const uint32_t mantissa = nbits & 0x7fffffu;
  const int exponent = static_cast<int>((nbits >> 24) & 0xffu);
  return std::ldexp(65535.0 / mantissa, 8 * (29 - exponent));
}

uint32_t difficulty_to_compact(double difficulty) {
  constexpr uint32_t kSmallest = 0x01010000u;
  const long double d = difficulty;
  const long double t = kLog2Of65535 - std::log2(d) + 208.0L;
  if (t < 0) return kSmallest;
  const long e = static_cast<long>(std::floor(t / 8.0L));
  const long double m = std::ldexp(65535.0L / d, static_cast<int>(8 * (28 - e)));
  if (!(m > 0)) return kSmallest;
  const long double whole = std::floor(m);
  uint32_t q = whole >= 18446744073709551616.0L ? 0u : static_cast<uint32_t>(static_cast<uint64_t>(whole));
  if (q == 0) return kSmallest;
  long exponent = e + 1;
  if (q & 0x800000u) {
    q >>= 8;
    exponent = e + 2;
  }
  return (static_cast<uint32_t>(exponent) << 24) | (q & 0x7fffffu);
}

ShareTarget decimal_to_target(const std::string& digits) {
  ShareTarget target{};
  for (const char c : digits) {
    if (c < '0' || c > '9') throw std::runtime_error("invalid decimal target");
    uint64_t carry = static_cast<uint64_t>(c - '0');
    for (uint32_t& word : target) {
      const uint64_t value = static_cast<uint64_t>(word) * 10 + carry;
      word = static_cast<uint32_t>(value);
      carry = value >> 32;
    }
    if (carry != 0) throw std::runtime_error("target exceeds uint256");
  }
  return target;
}

int64_t difficulty_factor(const MiningJob& job) {
  return static_cast<int64_t>(job.rows_pattern.size()) * static_cast<int64_t>(job.cols_pattern.size()) *
         static_cast<int64_t>(job.k);
}

ShareTarget scale_share_target(const ShareTarget& target, int64_t factor) {
  if (factor < 1 || factor > 4294967295LL) throw std::runtime_error("unsupported mining difficulty factor");
  ShareTarget scaled = target;
  if (!multiply_target(scaled, static_cast<uint64_t>(factor))) {
    warn_saturated("factor=" + std::to_string(factor));
    return kMaxShareTarget;
  }
  return scaled;
}

ShareTarget job_share_target(uint32_t nbits, int64_t factor) {
  ShareTarget base{};
  if (!expand_compact(nbits, base)) {
    if (factor < 1 || factor > 4294967295LL) throw std::runtime_error("unsupported mining difficulty factor");
    warn_saturated("share_nbits=" + hex8(nbits) + " factor=" + std::to_string(factor));
    return kMaxShareTarget;
  }
  return scale_share_target(base, factor);
}
