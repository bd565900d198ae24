#include "pool/json_text.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "core/pool_endpoints.h"

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

namespace {

[[noreturn]] void bad_escape() { throw std::runtime_error("invalid JSON string escape"); }

uint32_t read_hex4(const std::string& raw, size_t pos) {
  if (pos + 4 > raw.size()) bad_escape();
  uint32_t value = 0;
  for (size_t i = pos; i < pos + 4; ++i) {
    const char c = raw[i];
    if (!std::isxdigit(static_cast<unsigned char>(c))) bad_escape();
    value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  return value;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

}  // namespace

std::string json_unescape(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t pos = 0; pos < raw.size(); ++pos) {
    if (raw[pos] != '\\') {
      out += raw[pos];
      continue;
    }
    if (++pos >= raw.size()) bad_escape();
    switch (raw[pos]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        uint32_t cp = read_hex4(raw, pos + 1);
        pos += 4;
        if (cp >= 0xd800 && cp < 0xdc00) {
          // A high surrogate must be followed by its low half.
          if (pos + 2 >= raw.size() || raw[pos + 1] != '\\' || raw[pos + 2] != 'u') bad_escape();
          const uint32_t low = read_hex4(raw, pos + 3);
          if (low < 0xdc00 || low >= 0xe000) bad_escape();
          cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
          pos += 6;
        } else if (cp >= 0xdc00 && cp < 0xe000) {
          bad_escape();
        }
        append_utf8(out, cp);
        break;
      }
      default: bad_escape();
    }
  }
  return out;
}

std::string json_element_text(const std::string& element) {
  const std::string trimmed = trim_whitespace(element);
  if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"') {
    return json_unescape(trimmed.substr(1, trimmed.size() - 2));
  }
  return trimmed;
}
