// The pool's byte stream through the line transport over a socket pair: the
// lines read are the stream's newline-separated lines in order, none longer
// than the limit, and the stream's end is a connection error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/config.h"
#include "core/errors.h"
#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "socket_pair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  PeerThatSaid peer(data, size);
  PoolConnection conn{Config{}};
  conn.fd = peer.release_near();

  size_t consumed = 0;
  for (;;) {
    std::string line;
    try {
      line = recv_line(conn, 1000);
    } catch (const StratumConnectionError&) {
      break;
    }
    const size_t end = stream.find('\n', consumed);
    if (end == std::string::npos || line.size() > kMaxLineBytes) std::abort();
    if (stream.compare(consumed, end - consumed, line) != 0) std::abort();
    consumed = end + 1;
  }
  return 0;
}
