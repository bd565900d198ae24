#include "core/payout_address.h"

#include <cstdint>
#include <vector>

#include "core/errors.h"

namespace {

constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr uint32_t kBech32mConstant = 0x2bc830a3;

uint32_t bech32_polymod(const std::vector<uint8_t>& values) {
  static constexpr uint32_t generator[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                            0x2a1462b3};
  uint32_t chk = 1;
  for (uint8_t v : values) {
    const uint32_t top = chk >> 25;
    chk = ((chk & 0x1ffffff) << 5) ^ v;
    for (int i = 0; i < 5; ++i) {
      if ((top >> i) & 1) chk ^= generator[i];
    }
  }
  return chk;
}

// The first failed rule's reason, or an empty text for a valid address part.
std::string address_problem(std::string part) {
  if (part.empty()) return "address is empty";
  if (part.size() > 90) return "address is longer than 90 characters";
  bool has_lower = false;
  bool has_upper = false;
  for (char c : part) {
    if (c < 0x21 || c > 0x7e) return "address contains a non-printable character";
    has_lower |= (c >= 'a' && c <= 'z');
    has_upper |= (c >= 'A' && c <= 'Z');
  }
  if (has_lower && has_upper) return "bech32 address mixes uppercase and lowercase characters";
  for (char& c : part) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }

  const auto separator = part.rfind('1');
  if (separator == std::string::npos) return "bech32 separator '1' is missing";
  if (separator == 0) return "bech32 human-readable prefix is empty";
  if (part.size() - separator - 1 < 6) return "bech32 data/checksum is too short";
  const std::string prefix = part.substr(0, separator);
  if (prefix != "vex") return "Vexal addresses must start with 'vex'";

  std::vector<uint8_t> data;
  for (size_t i = separator + 1; i < part.size(); ++i) {
    const char* hit = nullptr;
    for (const char* p = kCharset; *p != '\0'; ++p) {
      if (*p == part[i]) hit = p;
    }
    if (hit == nullptr) return "address contains a character outside the bech32 alphabet";
    data.push_back(static_cast<uint8_t>(hit - kCharset));
  }

  std::vector<uint8_t> checked;
  for (char c : prefix) checked.push_back(static_cast<uint8_t>(c) >> 5);
  checked.push_back(0);
  for (char c : prefix) checked.push_back(static_cast<uint8_t>(c) & 31);
  checked.insert(checked.end(), data.begin(), data.end());
  if (bech32_polymod(checked) != kBech32mConstant) return "bech32m checksum is invalid";

  data.resize(data.size() - 6);
  if (data.empty()) return "witness data is empty";
  if (data[0] != 1) return "Vexal address must be witness version 1";

  // Regroup the program from 5-bit to 8-bit groups; the leftover must be zero padding.
  uint32_t acc = 0;
  int bits = 0;
  size_t program_bytes = 0;
  for (size_t i = 1; i < data.size(); ++i) {
    acc = ((acc << 5) | data[i]) & 0xfff;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      ++program_bytes;
    }
  }
  if (bits > 4 || (acc & ((1u << bits) - 1)) != 0) return "witness program has invalid padding";
  if (program_bytes != 32) return "Vexal witness program must be 32 bytes";
  return std::string();
}

}  // namespace

void check_payout_address(const std::string& address) {
  const std::string problem = address_problem(address.substr(0, address.find('.')));
  if (!problem.empty()) {
    throw CliUsageError("invalid Vexal address '" + address + "': " + problem);
  }
}
