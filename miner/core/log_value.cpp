#include "core/log_value.h"

bool log_value_needs_quotes(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= ' ' || c == '"' || c == '=' || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size()) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) return true;
    }
  }
  return false;
}

std::string log_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string log_value(std::string_view text) {
  return log_value_needs_quotes(text) ? log_quoted(text) : std::string(text);
}
