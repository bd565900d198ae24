#pragma once
// What one inbound Stratum line is, judged by the members of its top-level
// object only: a "method" or "id" nested inside a reply's result or a
// notification's params does not count.
#include <cstdint>
#include <string_view>

struct LineKind {
  bool notification = false;  // the top-level object has a "method" member, whatever its id
  bool has_reply_id = false;  // otherwise: its first top-level "id" is an unsigned integer of 64 bits
  uint64_t reply_id = 0;
};

// A line that is not a JSON object, or whose object cannot be read to its end,
// keeps what was read of it before the fault; nothing is raised.
LineKind classify_line(std::string_view line);
