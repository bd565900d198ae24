#include "logfmt_reader.h"

#include <cstdlib>

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the quoted value starting at line[at] == '"'; returns the index
// just past the closing quote, or npos with `error` set.
size_t read_quoted(const std::string& line, size_t at, std::string& value, std::string& error) {
  for (size_t i = at + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') return i + 1;
    if (c != '\\') {
      value += c;
      continue;
    }
    if (++i >= line.size()) break;
    const char e = line[i];
    if (e == '"' || e == '\\') {
      value += e;
    } else if (e == 'n') {
      value += '\n';
    } else if (e == 'r') {
      value += '\r';
    } else if (e == 't') {
      value += '\t';
    } else if (e == 'x' || e == 'u') {
      const size_t digits = e == 'x' ? 2 : 4;
      if (i + digits >= line.size()) break;
      int code = 0;
      for (size_t d = 1; d <= digits; ++d) {
        const int v = hex_digit(line[i + d]);
        if (v < 0) {
          error = "bad escape at " + std::to_string(i);
          return std::string::npos;
        }
        code = code * 16 + v;
      }
      i += digits;
      if (code < 0x80) {
        value += static_cast<char>(code);
      } else {  // the writer escapes C1 controls only: two UTF-8 bytes
        value += static_cast<char>(0xc0 | (code >> 6));
        value += static_cast<char>(0x80 | (code & 0x3f));
      }
    } else {
      error = "bad escape at " + std::to_string(i);
      return std::string::npos;
    }
  }
  error = "unterminated quoted value";
  return std::string::npos;
}

}  // namespace

std::vector<std::string> LogfmtLine::keys() const {
  std::vector<std::string> out;
  for (const auto& [key, value] : fields) out.push_back(key.empty() ? value : key);
  return out;
}

std::string LogfmtLine::event() const {
  for (const auto& [key, value] : fields) {
    if (key.empty()) return value;
  }
  return "";
}

std::string LogfmtLine::value(const std::string& key) const {
  std::string found = "<missing>";
  int count = 0;
  for (const auto& [k, v] : fields) {
    if (k == key) {
      found = v;
      ++count;
    }
  }
  return count > 1 ? "<repeated>" : found;
}

LogfmtLine read_logfmt(const std::string& line) {
  LogfmtLine out;
  const size_t first_blank = line.find(' ');
  if (first_blank == std::string::npos || first_blank == 0) {
    out.error = "no timestamp";
    return out;
  }
  size_t at = first_blank + 1;
  while (at <= line.size()) {
    if (at == line.size() || line[at] == ' ') {
      out.error = "empty field at " + std::to_string(at);
      return out;
    }
    if (line.compare(at, 4, "gpu=") == 0) {
      const size_t component = line.find(" component=", at);
      if (component == std::string::npos) {
        out.error = "no component after the gpu label";
        return out;
      }
      out.fields.emplace_back("gpu", line.substr(at + 4, component - at - 4));
      at = component + 1;
      continue;
    }
    size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '=' && line[end] != '"') ++end;
    if (end == line.size() || line[end] == ' ') {
      out.fields.emplace_back("", line.substr(at, end - at));  // a bare word
    } else if (line[end] == '"') {
      out.error = "quote inside a key at " + std::to_string(end);
      return out;
    } else {
      const std::string key = line.substr(at, end - at);
      std::string value;
      if (end + 1 < line.size() && line[end + 1] == '"') {
        end = read_quoted(line, end + 1, value, out.error);
        if (end == std::string::npos) return out;
        if (end < line.size() && line[end] != ' ') {
          out.error = "text after a closing quote at " + std::to_string(end);
          return out;
        }
      } else {
        const size_t start = end + 1;
        end = start;
        while (end < line.size() && line[end] != ' ') {
          if (line[end] == '"' || line[end] == '=') {
            out.error = "unquoted value holds a quote or '=' at " + std::to_string(end);
            return out;
          }
          ++end;
        }
        value = line.substr(start, end - start);
      }
      out.fields.emplace_back(key, value);
    }
    if (end == line.size()) break;
    at = end + 1;
  }
  return out;
}

std::vector<LogfmtLine> logfmt_lines_with(const std::string& log, const std::string& piece) {
  std::vector<LogfmtLine> out;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (line.find(piece) != std::string::npos) out.push_back(read_logfmt(line));
    start = end + 1;
  }
  return out;
}
