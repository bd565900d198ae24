#pragma once

struct PoolConnection;

// (Re)connects and handshakes until the pool has sent fitting mining
// parameters and a first job. Never gives up: each failure closes the socket,
// logs "reconnect_failed", switches endpoint after two failures in a row when
// failover endpoints exist, and sleeps (250 ms doubling up to 4000 ms).
// The caller holds the connection's mutex.
void connect_and_handshake(PoolConnection& conn);
