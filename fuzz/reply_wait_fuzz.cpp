// A pool's byte stream read while the reply to request 5 is awaited, over a
// socket pair: lines are told apart by their top-level members, notifications
// routed to their handlers, replies to the connection's other requests parked
// and the rest ignored. The wait ends with a line that is the reply to 5 or
// with one of the documented errors, never anything worse, and parks no more
// than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "pool/line_kind.h"
#include "pool/pool_connection.h"
#include "pool/pool_rpc.h"
#include "small_shape.h"
#include "socket_pair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  PeerThatSaid peer(data, size);
  PoolConnection conn{small_shape()};
  conn.fd = peer.release_near();
  conn.next_request_id = 9;  // requests 1 to 8 were sent; 5 is awaited
  std::string reply;
  try {
    reply = wait_response(conn, 5, 1000);
  } catch (const std::runtime_error&) {
    // transport, error replies, handlers' refusals
  } catch (const std::logic_error&) {
    // the standard conversions' errors, and the challenge seam
  }
  if (conn.pending_responses.size() > kMaxParkedReplies) std::abort();
  for (const auto& [id, line] : conn.pending_responses) {
    const LineKind kind = classify_line(line);
    if (kind.notification || !kind.has_reply_id || kind.reply_id != id || id == 0 || id >= 9 || id == 5) {
      std::abort();
    }
  }
  if (!reply.empty()) {
    const LineKind kind = classify_line(reply);
    if (kind.notification || !kind.has_reply_id || kind.reply_id != 5) std::abort();
    if (stream.find(reply + "\n") == std::string::npos) std::abort();
  }
  return 0;
}
