// run_miner against a scripted gateway on a unix socket: getMiningInfo before
// every attempt, and each candidate's proof sent with submitPlainProof.
#include <gtest/gtest.h>

#include <hostgpu/inspect.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/codecs.h"
#include "core/config.h"
#include "engine/run_miner.h"
#include "proof_verifier.h"
#include "scripted_gateway.h"
#include "submitted_proof.h"

namespace {

// 2^241 - 1: times the job's factor (2 x 64 x 256 = 2^15) every digest meets it.
const char kAnyDigestTarget[] =
    "3533694129556768659166595001485837031654967793751237916243212402585239551";
const char kHeaderB64[] = "AAECAwQFBgc=";

std::string mining_info_reply(int id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
         ",\"result\":{\"incomplete_header_bytes\":\"" + kHeaderB64 +
         "\",\"target\":" + kAnyDigestTarget + "},\"error\":null}";
}

class GatewayMining : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Host GPU,1024,8", 1);
    setenv("HOSTGPU_STREAMS", "eager", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }

  static Config gateway_run(const ScriptedGateway& gateway, int attempts) {
    Config config = gateway.config();
    config.pool.clear();
    config.pool_configured = true;
    config.force_backend = "cmp170hx-dp2a";
    config.m = 256;
    config.n = 256;
    config.k = 256;
    config.rank = 64;
    config.max_attempts = attempts;
    return config;
  }
};

}  // namespace

TEST_F(GatewayMining, EachAttemptAsksForWorkAndEachCandidateSendsAVerifyingProof) {
  ScriptedGateway gateway(GatewayTransport::uds);
  gateway.play({{mining_info_reply(1)},
                {"{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":true,\"error\":null}"},
                {mining_info_reply(3)},
                {"{\"jsonrpc\":\"2.0\",\"id\":4,\"result\":true,\"error\":null}"}});
  testing::internal::CaptureStdout();
  const int status = run_miner(gateway_run(gateway, 2), 0, 0, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(status, 0) << out;

  const std::vector<std::string> lines = gateway.received();
  ASSERT_EQ(lines.size(), 4u) << out;
  for (int i = 0; i < 4; i += 2) {
    EXPECT_EQ(lines[i], "{\"jsonrpc\":\"2.0\",\"method\":\"getMiningInfo\",\"id\":" +
                            std::to_string(i + 1) + ",\"params\":{}}\n");
    const std::string head = "{\"jsonrpc\":\"2.0\",\"method\":\"submitPlainProof\",\"id\":" +
                             std::to_string(i + 2) + ",\"params\":{\"plain_proof\":\"";
    const std::string tail = std::string("\",\"mining_job\":{\"incomplete_header_bytes\":\"") +
                             kHeaderB64 + "\",\"target\":" + kAnyDigestTarget + "}}}\n";
    const std::string& submit = lines[i + 1];
    ASSERT_EQ(submit.rfind(head, 0), 0u) << submit.substr(0, 200);
    ASSERT_GT(submit.size(), head.size() + tail.size());
    ASSERT_EQ(submit.substr(submit.size() - tail.size()), tail);
    const std::string proof = submit.substr(head.size(), submit.size() - head.size() - tail.size());
    EXPECT_EQ(check_submitted_proof(proof, ProofShape{}, base64_decode(kHeaderB64)), "");
  }
  EXPECT_NE(out.find("component=gateway connected transport=uds path=" + gateway.socket_path()),
            std::string::npos)
      << out;
  int submitted = 0;
  for (size_t at = out.find("component=share submitted job="); at != std::string::npos;
       at = out.find("component=share submitted job=", at + 1)) {
    ++submitted;
  }
  EXPECT_EQ(submitted, 2) << out;
}

// The gateway refusing a proof is logged; a gateway that hangs up ends the run.
TEST_F(GatewayMining, ARefusedProofIsLoggedAndALostGatewayEndsTheRun) {
  ScriptedGateway gateway(GatewayTransport::uds);
  gateway.play({{mining_info_reply(1)},
                {"{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":null,\"error\":{\"code\":-1}}"},
                {std::nullopt, true}});
  testing::internal::CaptureStderr();
  const int status = run_miner(gateway_run(gateway, 3), 0, 0, 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("component=share submission_error response=\"{\\\"jsonrpc\\\":\\\"2.0\\\",\\\"id\\\":2"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("error=\"gateway closed connection\""), std::string::npos) << err;
}
