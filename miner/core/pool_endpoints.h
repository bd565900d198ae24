#pragma once
#include <cstdint>
#include <string>

// One pool address.
struct Endpoint {
  std::string host;  // host name or address literal, without scheme, brackets or port
  int32_t port = 0;  // 1 to 65535 when it came from text
};

// The text without leading and trailing isspace characters; inner blanks stay.
std::string trim_whitespace(std::string text);

// A port text of digits only, 1 to 65535. `name` is the option named in errors.
int32_t parse_port(const std::string& text, const std::string& name);

// "host", "host:port", "[v6]", "[v6]:port", optionally behind "stratum+tcp://" or
// "tcp://". While `explicit_port` is set the port in the text is ignored unexamined.
Endpoint parse_pool_endpoint(std::string text, int32_t default_port, bool explicit_port,
                             const std::string& name);
