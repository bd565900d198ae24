#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "core/config.h"

// How long one request may take, from its first byte sent to the last byte of
// its reply, before the gateway counts as dead.
inline constexpr uint32_t kGatewayTimeoutMs = 30000;

// The mining thread's connection to the local node gateway (JSON-RPC 2.0, one
// line per message, over a unix socket or TCP). Only the mining thread uses it.
struct GatewayConnection {
  int32_t fd = -1;
  int32_t last_request_id = 0;  // each request sends this plus one
  uint32_t timeout_ms = kGatewayTimeoutMs;

  GatewayConnection() = default;
  ~GatewayConnection();
  GatewayConnection(const GatewayConnection&) = delete;
  GatewayConnection& operator=(const GatewayConnection&) = delete;
};

// Connects by config.transport: exactly "tcp" goes to config.host:config.port,
// anything else to the unix socket config.socket_path; logs the connect.
// Throws std::runtime_error ("socket() failed", "socket path too long",
// "connect() failed for unix gateway", or tcp_connect's errors).
std::unique_ptr<GatewayConnection> connect_gateway(const Config& config);

// Sends one request line and returns the reply line without its newline.
// Throws std::runtime_error "send() failed", "gateway closed connection" or,
// when the exchange outlasts gateway.timeout_ms, "gateway request timed out
// after <ms> ms while sending" / "... while waiting for the reply".
std::string gateway_exchange(GatewayConnection& gateway, const std::string& request);
