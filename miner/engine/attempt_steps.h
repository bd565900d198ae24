#pragma once
// The GPU work of one serial attempt, on the mining stream (and the aux stream
// for B's half when the attempt runs in parallel).
struct MinerState;

// Merkle roots of A and B under the workspace key, then the noise seeds.
void hash_and_commit_step(MinerState& state, bool parallel);

// Noise factors, then the fused, dump or split mining launch. The constant
// offline job noises A and B in place.
void mine_attempt_step(MinerState& state, bool parallel, bool constant);
