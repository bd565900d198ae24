// A pool's notification lines, one after another on one connection, through
// the handlers of mining parameters, jobs and difficulty until one refuses a
// line (the connection would be dropped there): a bad line fails with an
// exception, never anything worse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "pool/pool_connection.h"
#include "pool/pool_notifications.h"
#include "small_shape.h"

namespace {

template <typename Handle>
bool handled(Handle&& handler) {
  try {
    handler();
    return true;
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PoolConnection conn{small_shape()};
  size_t start = 0;
  bool open = true;
  while (open && start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.find("set_mining_params") != std::string::npos) {
      open = handled([&] { handle_set_mining_params(conn, line); });
    } else if (line.find("set_difficulty") != std::string::npos) {
      open = handled([&] { handle_set_difficulty(conn, line); });
    } else {
      open = handled([&] { handle_mining_notify(conn, line); });
    }
  }
  return 0;
}
