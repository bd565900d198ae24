#include "pool/line_kind.h"

#include <stdexcept>
#include <string>

#include "pool/json_text.h"

namespace {

constexpr size_t kEnd = std::string_view::npos;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skip_blanks(std::string_view s, size_t at) {
  while (at < s.size() && is_blank(s[at])) ++at;
  return at;
}

// Just past the string whose opening quote is at `at`; kEnd when it is unterminated.
size_t skip_string(std::string_view s, size_t at) {
  for (++at; at < s.size(); ++at) {
    if (s[at] == '\\') {
      ++at;
    } else if (s[at] == '"') {
      return at + 1;
    }
  }
  return kEnd;
}

// Just past the value starting at `at`; kEnd when it runs off the line.
// Nesting is counted, not recursed into, so no line chooses the stack depth.
size_t skip_value(std::string_view s, size_t at) {
  if (at >= s.size()) return kEnd;
  if (s[at] == '"') return skip_string(s, at);
  if (s[at] == '{' || s[at] == '[') {
    size_t depth = 0;
    while (at < s.size()) {
      const char c = s[at];
      if (c == '"') {
        at = skip_string(s, at);
        if (at == kEnd) return kEnd;
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (--depth == 0) return at + 1;
      }
      ++at;
    }
    return kEnd;
  }
  while (at < s.size() && s[at] != ',' && s[at] != '}' && s[at] != ']' && !is_blank(s[at])) ++at;
  return at;
}

// The member name, escapes translated; empty when they are malformed.
std::string member_name(std::string_view quoted) {
  const std::string raw(quoted.substr(1, quoted.size() - 2));
  if (raw.find('\\') == std::string::npos) return raw;
  try {
    return json_unescape(raw);
  } catch (const std::runtime_error&) {
    return {};
  }
}

// An id that is a run of decimal digits within 64 bits.
bool read_unsigned_id(std::string_view token, uint64_t& id) {
  if (token.empty()) return false;
  uint64_t value = 0;
  for (const char c : token) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  id = value;
  return true;
}

}  // namespace

LineKind classify_line(std::string_view line) {
  LineKind kind;
  size_t at = skip_blanks(line, 0);
  if (at >= line.size() || line[at] != '{') return kind;
  ++at;
  bool seen_id = false;
  for (;;) {
    at = skip_blanks(line, at);
    if (at >= line.size() || line[at] == '}') break;
    if (line[at] == ',') {
      ++at;
      continue;
    }
    if (line[at] != '"') break;
    const size_t name_end = skip_string(line, at);
    if (name_end == kEnd) break;
    const std::string name = member_name(line.substr(at, name_end - at));
    at = skip_blanks(line, name_end);
    if (at >= line.size() || line[at] != ':') break;
    at = skip_blanks(line, at + 1);
    const size_t value_end = skip_value(line, at);
    if (name == "method") {
      kind.notification = true;
    } else if (name == "id" && !seen_id) {
      seen_id = true;
      const std::string_view value = line.substr(at, value_end == kEnd ? kEnd : value_end - at);
      kind.has_reply_id = read_unsigned_id(value, kind.reply_id);
    }
    if (value_end == kEnd) break;
    at = value_end;
  }
  if (kind.notification) kind.has_reply_id = false;
  return kind;
}
