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

// A share handed to submit_share_if_current: sent, or held back because its
// job had been replaced by the time it would have gone out.
struct ShareSubmission {
  bool sent = false;
  std::string reply;      // when sent: as submit_share returns it
  MiningJob current_job;  // when held back: the connection's newer job
};

// Under the mutex, first reads and routes the lines already waiting (a
// failure there reconnects, as a poll does); then, when the connection holds
// a job of a later generation than the share's, sends nothing. Otherwise
// sends the share as submit_share does.
ShareSubmission submit_share_if_current(PoolConnection& conn, const std::string& proof_b64,
                                        const MiningJob& job);

// Sends one share and returns the pool's reply, or a synthesized
// {"id":N,"result":null,"error":null,"dropped":true,"reason":"..."} when the
// pool answered with an error (reason "rejected") or the connection broke
// (reason "stratum_reconnect"; the share is not resent). A share whose job
// was replaced is not sent: {"id":null,...,"reason":"obsolete_job"}.
std::string submit_share(PoolConnection& conn, const std::string& proof_b64, const MiningJob& job);
