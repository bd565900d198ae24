// A gateway's getMiningInfo reply, read over a socket pair and turned into a
// job: a bad reply fails with an exception, never anything worse.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "pool/gateway_client.h"
#include "pool/gateway_connection.h"
#include "small_shape.h"
#include "socket_pair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PeerThatSaid peer(data, size);
  GatewayConnection gateway;
  gateway.fd = peer.release_near();
  gateway.timeout_ms = 1000;
  try {
    gateway_get_mining_info(gateway, small_shape());
  } catch (const std::runtime_error&) {
  }
  return 0;
}
