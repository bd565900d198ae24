#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "core/mining_job.h"

// A share target: an unsigned 256-bit integer as eight words, word 0 least
// significant. A digest hits when it is not above the target.
using ShareTarget = std::array<uint32_t, 8>;

inline constexpr ShareTarget kMaxShareTarget = {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu,
                                                0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu};

// Compact "nbits" (exponent in bits 24-31, mantissa in bits 0-22) to the
// target it encodes. Throws "compact target has zero mantissa" or
// "compact target exceeds uint256".
ShareTarget compact_to_target(uint32_t nbits);

// 65535 x 2^208 divided by the target the compact value encodes (1d00ffff gives 1).
double compact_to_difficulty(uint32_t nbits);

// The compact value of a difficulty (difficulty 1 gives 1d00ffff).
uint32_t difficulty_to_compact(double difficulty);

// Decimal digits to a target. Throws "invalid decimal target" or
// "target exceeds uint256"; an empty text gives 0.
ShareTarget decimal_to_target(const std::string& digits);

// Rows opened x columns opened x k, the factor by which a job's base target grows.
int64_t difficulty_factor(const MiningJob& job);

// The target multiplied by the factor. A factor outside 1 to 2^32-1 throws
// "unsupported mining difficulty factor". A product beyond 256 bits means every
// digest hits: it saturates at kMaxShareTarget with a WARN line.
ShareTarget scale_share_target(const ShareTarget& target, int64_t factor);

// A job's target from its compact value and its factor; a compact value beyond
// 256 bits saturates like an oversized product.
ShareTarget job_share_target(uint32_t nbits, int64_t factor);
