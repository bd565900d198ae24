#pragma once
#include <string>

struct PoolConnection;

// (Re)connects and handshakes until the pool has sent fitting mining
// parameters and a first job. Never gives up: each failure closes the socket,
// logs "reconnect_failed", switches endpoint after two failures in a row when
// failover endpoints exist, and sleeps (250 ms doubling up to 4000 ms).
// The caller holds the connection's mutex.
void connect_and_handshake(PoolConnection& conn);

// For credentials the pool may not accept (the developer-fee login): at most
// `max_tries` tries with the same back-off, giving up at once when the pool
// refuses the login (an error or a false result to mining.authorize). On
// failure the socket is closed, `failure` holds the last error and the
// result is false; nothing is logged for the try that gives up.
bool connect_and_handshake_bounded(PoolConnection& conn, int max_tries, std::string& failure);
