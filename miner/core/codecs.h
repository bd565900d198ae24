#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Standard base64 (RFC 4648) with "=" padding and no line breaks.
std::string base64_encode(const std::vector<uint8_t>& bytes);

// Hex text (either case) to bytes; throws std::runtime_error
// "hex data has odd length" or "invalid hex data".
std::vector<uint8_t> hex_decode(const std::string& text);

// Exactly 32 bytes as 64 lowercase hex digits.
std::string hex32(const uint8_t* bytes);

// Fixed-point text with the given number of decimals, classic locale.
std::string format_fixed(double value, int decimals);
std::string format_fixed2(double value);
