#include "core/codecs.h"

#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

std::string base64_encode(const std::vector<uint8_t>& bytes) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t len = bytes.size();
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  for (size_t i = 0; i < len; i += 3) {
    uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < len) v |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < len) v |= bytes[i + 2];
    out += kTable[(v >> 18) & 63];
    out += kTable[(v >> 12) & 63];
    out += i + 1 < len ? kTable[(v >> 6) & 63] : '=';
    out += i + 2 < len ? kTable[v & 63] : '=';
  }
  return out;
}

namespace {

int hex_nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::runtime_error("invalid hex data");
}

}  // namespace

std::vector<uint8_t> hex_decode(const std::string& text) {
  if (text.size() % 2 != 0) throw std::runtime_error("hex data has odd length");
  std::vector<uint8_t> out(text.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const int high = hex_nibble(text[2 * i]);
    const int low = hex_nibble(text[2 * i + 1]);
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return out;
}

std::string hex32(const uint8_t* bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(64, '0');
  for (size_t i = 0; i < 32; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

std::string format_fixed(double value, int decimals) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

std::string format_fixed2(double value) { return format_fixed(value, 2); }
