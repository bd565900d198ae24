#include "core/pool_endpoints.h"

#include <algorithm>
#include <cctype>

#include "core/errors.h"

std::string trim_whitespace(std::string text) {
  auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  auto first = std::find_if_not(text.begin(), text.end(), is_space);
  auto last = std::find_if_not(text.rbegin(), text.rend(), is_space).base();
  if (first >= last) return std::string();
  return std::string(first, last);
}

int32_t parse_port(const std::string& text, const std::string& name) {
  if (text.empty()) throw CliUsageError(name + " has an empty port");
  for (char c : text) {
    if (c < '0' || c > '9') throw CliUsageError(name + " has a non-numeric port: " + text);
  }
  const int value = std::stoi(text);
  if (value < 1 || value > 65535) throw CliUsageError(name + " port must be between 1 and 65535");
  return value;
}

Endpoint parse_pool_endpoint(std::string text, int32_t default_port, bool explicit_port,
                             const std::string& name) {
  std::string rest = trim_whitespace(std::move(text));

  const auto scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = rest.substr(0, scheme_end);
    if (scheme != "stratum+tcp" && scheme != "tcp") {
      throw CliUsageError("unsupported Stratum scheme '" + scheme +
                          "'; expected stratum+tcp://host:port");
    }
    rest.erase(0, scheme_end + 3);
  }

  const std::string no_host = name + " did not include a host";
  if (rest.empty()) throw CliUsageError(no_host);
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty()) throw CliUsageError(no_host);
  if (rest.find('/') != std::string::npos) throw CliUsageError(name + " must not include a URL path");

  std::string host = rest;
  std::string port_text;
  if (rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) throw CliUsageError(name + " has an unterminated IPv6 bracket");
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') throw CliUsageError(name + " has invalid IPv6 host syntax");
      port_text = rest.substr(close + 2);
    }
  } else if (std::count(rest.begin(), rest.end(), ':') == 1) {
    const auto colon = rest.find(':');
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
  }
  // Two or more colons without brackets: a bare IPv6 literal, no port.

  if (host.empty()) throw CliUsageError(no_host);

  Endpoint endpoint{host, default_port};
  if (!port_text.empty() && !explicit_port) endpoint.port = parse_port(port_text, name);
  return endpoint;
}
