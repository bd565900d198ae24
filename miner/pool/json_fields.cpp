#include "pool/json_fields.h"

#include <cctype>
#include <stdexcept>

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Position just after the first occurrence of the quoted name, or npos.
size_t value_start(std::string_view text, std::string_view name) {
  std::string key;
  key.reserve(name.size() + 2);
  key += '"';
  key += name;
  key += '"';
  const size_t at = text.find(key);
  return at == std::string_view::npos ? at : at + key.size();
}

std::runtime_error field_error(const char* what, std::string_view name) {
  return std::runtime_error(std::string(what) + std::string(name));
}

}  // namespace

std::string json_int_field(std::string_view text, std::string_view name) {
  const size_t start = value_start(text, name);
  if (start == std::string_view::npos) throw field_error("missing JSON field: ", name);
  const char* malformed = "malformed JSON integer field: ";
  if (start >= text.size()) throw field_error(malformed, name);
  const size_t colon = text.find(':', start);
  if (colon == std::string_view::npos) throw field_error(malformed, name);
  size_t pos = colon + 1;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  size_t end = pos;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == pos) throw field_error(malformed, name);
  return std::string(text.substr(pos, end - pos));
}

std::string json_string_field(std::string_view text, std::string_view name) {
  const size_t start = value_start(text, name);
  if (start == std::string_view::npos) throw field_error("missing JSON field: ", name);
  const char* malformed = "malformed JSON string field: ";
  if (start >= text.size()) throw field_error(malformed, name);
  const size_t colon = text.find(':', start);
  if (colon == std::string_view::npos) throw field_error(malformed, name);
  const size_t open = text.find('"', colon + 1);
  if (open == std::string_view::npos) throw field_error(malformed, name);
  for (size_t pos = open + 1; pos < text.size(); ++pos) {
    if (text[pos] == '"' && text[pos - 1] != '\\') {
      return std::string(text.substr(open + 1, pos - open - 1));
    }
  }
  throw field_error("unterminated JSON string field: ", name);
}

std::string json_array_field(std::string_view text, std::string_view name) {
  const size_t start = value_start(text, name);
  if (start == std::string_view::npos) throw field_error("missing JSON array field: ", name);
  const size_t open = start >= text.size() ? std::string_view::npos : text.find('[', start);
  if (open == std::string_view::npos) throw field_error("malformed JSON array field: ", name);
  bool in_string = false;
  bool escaped = false;
  int depth = 0;
  for (size_t pos = open; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (depth-- == 1) return std::string(text.substr(open, pos - open + 1));
    }
  }
  throw field_error("unterminated JSON array field: ", name);
}

std::vector<std::string> split_json_array(std::string_view array_text) {
  if (array_text.size() < 2 || array_text.front() != '[' || array_text.back() != ']') {
    throw std::runtime_error("expected JSON array");
  }
  std::vector<std::string> elements;
  if (array_text == "[]") return elements;
  const size_t close = array_text.size() - 1;
  bool in_string = false;
  bool escaped = false;
  int depth = 0;
  size_t element_start = 1;
  for (size_t pos = 1; pos < close; ++pos) {
    const char c = array_text[pos];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == ',' && depth == 0) {
      elements.emplace_back(array_text.substr(element_start, pos - element_start));
      element_start = pos + 1;
    }
  }
  if (element_start < close) {
    elements.emplace_back(array_text.substr(element_start, close - element_start));
  }
  return elements;
}

std::string trim_unquote(std::string text) {
  size_t first = 0;
  while (first < text.size() && is_space(text[first])) ++first;
  size_t last = text.size();
  while (last > first && is_space(text[last - 1])) --last;
  std::string trimmed = text.substr(first, last - first);
  if (trimmed.size() < 2 || trimmed.front() != '"' || trimmed.back() != '"') return trimmed;
  std::string out;
  out.reserve(trimmed.size() - 2);
  const size_t end = trimmed.size() - 1;
  for (size_t pos = 1; pos < end; ++pos) {
    if (trimmed[pos] == '\\') {
      ++pos;  // the escaped character is copied as it stands (the closing quote included)
      if (pos >= trimmed.size()) break;
    }
    out.push_back(trimmed[pos]);
  }
  return out;
}

std::vector<int32_t> json_int_array_field(std::string_view text, std::string_view name) {
  std::vector<int32_t> values;
  for (const std::string& element : split_json_array(json_array_field(text, name))) {
    values.push_back(std::stoi(trim_unquote(element)));
  }
  return values;
}
