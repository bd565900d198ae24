#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/mining_job.h"
#include "pool/gateway_connection.h"

// Asks the gateway's getMiningInfo for the current work and returns it as a
// job of the configured shape: the header and target texts kept as received
// (they go back with the proof), the header decoded and the target scaled by
// the job's difficulty factor. Throws std::runtime_error "gateway returned
// error: <reply>", the field scanners' errors, "invalid base64 data", the
// target conversion errors and gateway_exchange's errors.
MiningJob gateway_get_mining_info(GatewayConnection& gateway, const Config& config);

// Sends a proof with submitPlainProof and returns the gateway's reply line,
// unexamined.
std::string gateway_submit_plain_proof(GatewayConnection& gateway, const std::string& plain_proof_b64,
                                       const MiningJob& job);

// The gateway's base64 header text to bytes: white space is skipped, the first
// "=" ends the data, leftover bits are dropped. Throws std::runtime_error
// "invalid base64 data" for any other character outside the standard set.
std::vector<uint8_t> decode_gateway_base64(const std::string& text);
