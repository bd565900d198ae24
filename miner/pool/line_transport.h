#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct PoolConnection;

// Longest inbound line accepted, newline excluded. Pool lines are a few KiB at
// most; anything longer is treated as a broken connection.
inline constexpr size_t kMaxLineBytes = 64 * 1024;

// Resolves the host (thread-safe; IPv4 and IPv6) and returns a connected
// blocking stream socket to the first address that accepts. Throws
// std::runtime_error "unable to resolve host: <host>", "socket() failed" or
// "connect() failed for <label>".
int tcp_connect(const std::string& host, uint16_t port, const char* label);

// Whether the socket is readable within timeout_ms (0 tests and returns at once).
// Throws StratumConnectionError when the wait itself fails.
bool wait_readable(PoolConnection& conn, uint32_t timeout_ms);

// The next line without its newline. timeout_ms bounds the whole line, so a peer
// that trickles bytes cannot hold the read. Throws StratumConnectionError on a
// time-out, a closed peer, a failed recv or a line over kMaxLineBytes.
std::string recv_line(PoolConnection& conn, uint32_t timeout_ms);

// Writes every byte or throws StratumConnectionError.
void send_all(PoolConnection& conn, const char* data, size_t length);

// The prefix followed by the connection's state, for transport errors.
std::string describe_stratum_connection(const PoolConnection& conn, const std::string& prefix,
                                        uint64_t partial_line_bytes, uint32_t timeout_ms);
