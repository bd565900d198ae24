// One pool line through the field scanners, the string decoder and the share
// reply's judgement: every failure is one of the documented exceptions, and
// decoding undoes encoding for any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "pool/json_fields.h"
#include "pool/json_text.h"
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

  if (json_unescape(json_escape(line)) != line) std::abort();
  return 0;
}
