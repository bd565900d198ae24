#pragma once
// The run's link to its work: a pool connection (with the proof submitter
// unless shares go out synchronously), the local gateway, or nothing offline.
struct MinerState;

// Blocks until the pool has sent mining parameters and a first job; the
// gateway connect fails at once when nobody listens.
void open_miner_connections(MinerState& state);
