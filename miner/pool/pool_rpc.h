#pragma once
#include <cstdint>
#include <string>

struct PoolConnection;

// Request and reply on a connection whose mutex the caller holds.

// Sends {"id":N,"method":...,"params":...} (params inserted verbatim, so it must
// already be valid JSON) and returns the reply line for that id.
std::string rpc_call(PoolConnection& conn, const std::string& method, const std::string& params);

// Takes the next request id (ids keep counting across reconnections).
int32_t take_request_id(PoolConnection& conn);

// Reads until the reply for `id` arrives: lines whose top-level object has a
// method are routed as notifications, replies to this connection's other
// requests parked, and lines no request of ours can have (another id, or
// none) ignored. Throws StratumResponseError for a reply with a non-null
// error, StratumConnectionError for transport failures and for too many
// parked replies. A notification's failure passes through, except while a
// share's reply is awaited: then it is kept in deferred_line_error and the
// wait goes on.
std::string wait_response(PoolConnection& conn, int32_t id, uint32_t timeout_ms);

// Routes one line to the handler of its method; lines without a top-level
// method, and methods not handled, are ignored.
void dispatch_notification(PoolConnection& conn, const std::string& line);

// Whether a reply line carries an error other than "error":null.
bool reply_has_error(const std::string& line);
