// One pool line through the field scanners, the string decoder, the line
// classifier and the share reply's judgement: every failure is one of the
// documented exceptions, decoding undoes encoding for any bytes, and the
// line written as a log value reads back whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/log_value.h"
#include "pool/json_fields.h"
#include "pool/json_text.h"
#include "pool/line_kind.h"
#include "pool/share_reply.h"

namespace {

const char* const kFieldNames[] = {"id", "method", "params", "result", "error", "target", "job_id", "nbits"};

template <typename Scan>
void scan(Scan&& scanner) {
  try {
    scanner();
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
}

// The text a logfmt reader gets back from a logged value: unquoted values
// as they stand; quoted ones without their quotes and escapes. Aborts when
// a quoted value has a quote or backslash left unescaped.
std::string read_back(const std::string& logged) {
  if (logged.empty() || logged.front() != '"') return logged;
  if (logged.size() < 2 || logged.back() != '"') std::abort();
  std::string text;
  for (size_t i = 1; i + 1 < logged.size(); ++i) {
    char c = logged[i];
    if (c == '"') std::abort();
    if (c == '\\') {
      if (i + 2 >= logged.size()) std::abort();
      c = logged[++i];
      if (c != '"' && c != '\\') std::abort();
    }
    text += c;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  for (const char* name : kFieldNames) {
    scan([&] { json_int_field(line, name); });
    scan([&] { json_unescape(json_string_field(line, name)); });
    scan([&] {
      for (const std::string& element : split_json_array(json_array_field(line, name))) {
        trim_unquote(element);
        scan([&] { json_element_text(element); });
      }
    });
    scan([&] { json_int_array_field(line, name); });
  }
  scan([&] { split_json_array(line); });
  scan([&] { json_unescape(line); });
  judge_share_reply(line);

  const LineKind kind = classify_line(line);
  if (kind.notification && kind.has_reply_id) std::abort();

  const std::string logged = log_value(line);
  if (read_back(logged) != line) std::abort();
  if (!log_value_needs_quotes(line) && logged != line) std::abort();
  for (const char c : log_value_needs_quotes(line) ? std::string() : line) {
    if (c == ' ' || c == '"' || c == '=' || static_cast<unsigned char>(c) < 0x20) std::abort();
  }

  if (json_unescape(json_escape(line)) != line) std::abort();
  return 0;
}
