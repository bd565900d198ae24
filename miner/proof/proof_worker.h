#pragma once
// Steps of the proof worker that tests reach directly.
#include <cstdint>
#include <string>

#include "proof/async_submitter.h"

// Nanoseconds as seconds in the stream's default format (six significant
// digits, e.g. 0.0123457, 2 or 1.5e-05).
std::string format_elapsed_seconds(int64_t nanoseconds);

// The DEBUG "plainproof" line of an encoded proof; the debug transcript
// fields follow only when the task carries them.
std::string plainproof_line(const ProofTask& task, size_t b64_chars, int64_t ready_time,
                            int64_t encode_start, int64_t encode_end);

// Queues the encoded proof for the submit worker unless its job became
// obsolete meanwhile (then logs the "proof_encoded" drop). True when queued.
bool queue_encoded_proof(AsyncEncodedPlainProofSubmitter& submitter, const ProofTask& task,
                         std::string&& proof_b64);
