#include "pool/gateway_client.h"

#include <cctype>
#include <stdexcept>

#include "pool/json_fields.h"
#include "pool/share_target.h"

namespace {

std::string next_request_id(GatewayConnection& gateway) {
  gateway.last_request_id += 1;
  return std::to_string(gateway.last_request_id);
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::vector<uint8_t> decode_gateway_base64(const std::string& text) {
  std::vector<uint8_t> bytes;
  uint32_t pending = 0;
  int pending_bits = 0;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (c == '=') break;
    const int value = base64_value(c);
    if (value < 0) throw std::runtime_error("invalid base64 data");
    pending = (pending << 6) | static_cast<uint32_t>(value);
    pending_bits += 6;
    if (pending_bits >= 8) {
      pending_bits -= 8;
      bytes.push_back(static_cast<uint8_t>(pending >> pending_bits));
      pending &= (1u << pending_bits) - 1;
    }
  }
  return bytes;
}

MiningJob gateway_get_mining_info(GatewayConnection& gateway, const Config& config) {
  const std::string request = "{\"jsonrpc\":\"2.0\",\"method\":\"getMiningInfo\",\"id\":" + next_request_id(gateway) +
                              ",\"params\":{}}\n";
  const std::string reply = gateway_exchange(gateway, request);
  if (reply.find("\"error\"") != std::string::npos && reply.find("\"error\":null") == std::string::npos) {
    throw std::runtime_error("gateway returned error: " + reply);
  }

  MiningJob job;
  job.m = config.m;
  job.n = config.n;
  job.k = config.k;
  job.rank = config.rank;
  job.rows_pattern = {0, 32};
  job.cols_pattern = default_opened_columns();
  job.header_b64 = json_string_field(reply, "incomplete_header_bytes");
  job.target_text = json_int_field(reply, "target");
  job.header_bytes = decode_gateway_base64(job.header_b64);
  job.target = scale_share_target(decimal_to_target(job.target_text), difficulty_factor(job));
  return job;
}

std::string gateway_submit_plain_proof(GatewayConnection& gateway, const std::string& plain_proof_b64,
                                       const MiningJob& job) {
  const std::string request = "{\"jsonrpc\":\"2.0\",\"method\":\"submitPlainProof\",\"id\":" +
                              next_request_id(gateway) + ",\"params\":{\"plain_proof\":\"" + plain_proof_b64 +
                              "\",\"mining_job\":{\"incomplete_header_bytes\":\"" + job.header_b64 +
                              "\",\"target\":" + job.target_text + "}}}\n";
  return gateway_exchange(gateway, request);
}
