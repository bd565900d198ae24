// Payout addresses and pool endpoints as a user or a config file gives them:
// a refusal is a usage error (or std::stoi's range error, which a port of
// too many digits passes through), and an accepted port is in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/errors.h"
#include "core/payout_address.h"
#include "core/pool_endpoints.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  try {
    check_payout_address(text);
  } catch (const CliUsageError&) {
  }
  try {
    const int32_t port = parse_port(text, "--port");
    if (port < 1 || port > 65535) std::abort();
  } catch (const CliUsageError&) {
  } catch (const std::out_of_range&) {
  }
  for (const bool explicit_port : {false, true}) {
    try {
      const Endpoint endpoint = parse_pool_endpoint(text, 3333, explicit_port, "--pool");
      if (!explicit_port && (endpoint.port < 1 || endpoint.port > 65535)) std::abort();
    } catch (const CliUsageError&) {
    } catch (const std::out_of_range&) {
    }
  }
  return 0;
}
