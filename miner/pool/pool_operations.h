#pragma once
#include <string>

#include "core/mining_job.h"

struct PoolConnection;

// How the rest of the program uses an established connection. Each takes the
// connection's mutex for its whole run and reconnects when the connection
// breaks, the pool sends a line it cannot take, or a challenge answer fails.

// Tries the mutex: false at once when another thread holds it (out untouched).
// Otherwise reads the lines already waiting and returns whether a job is held,
// copying it to `out`.
bool poll_connection(PoolConnection& conn, MiningJob& out);

// Blocks until a job is held and returns a copy. Throws std::runtime_error
// "timed out waiting for Stratum job" when lines keep arriving for 30 s
// without one.
MiningJob wait_for_job(PoolConnection& conn);

// Sends one share and returns the pool's reply, or a synthesized
// {"id":N,"result":null,"error":null,"dropped":true,"reason":"..."} when the
// pool answered with an error (reason "rejected") or the connection broke
// (reason "stratum_reconnect"; the share is not resent).
std::string submit_share(PoolConnection& conn, const std::string& proof_b64, const MiningJob& job);
