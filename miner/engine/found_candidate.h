#pragma once
// A reported candidate turned into a share: logged, proved on the GPU and
// handed to the submitter, the pool or the gateway.
#include <cstdint>
#include <string>

#include "engine/gpu_proof_issue.h"
#include "proof/async_submitter.h"

struct HostSignalHeader;
struct MinerState;
struct MiningJob;

// The serial loop's candidate: the attempt's job and 32-byte key.
void handle_found_candidate(MinerState& state, const MiningJob& job, const uint8_t* key);

// The task the submitter takes over; the proof's buffers and event move into it.
ProofTask make_proof_task(IssuedGpuProof&& issued, const MiningJob& job, const uint8_t* key,
                          const CandidateDigests& digests, int64_t proof_started);

// Without a submitter: waits for the proof ("<prefix>GPU proof synchronize"),
// encodes it and sends it to the pool (or the gateway when there is no pool),
// then logs the verdict. Rejected and lost shares are not retried.
void submit_proof_synchronously(MinerState& state, IssuedGpuProof& proof, const MiningJob& job,
                                const uint8_t* key, const CandidateDigests& digests,
                                int64_t proof_started, const std::string& step_prefix);
