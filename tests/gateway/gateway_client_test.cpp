#include "pool/gateway_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "pool/gateway_connection.h"
#include "pool/share_target.h"
#include "scripted_gateway.h"

namespace {

const std::string kInfoReply =
    R"({"jsonrpc":"2.0","id":1,"result":{"incomplete_header_bytes":"AAEC","target":1000},"error":null})";

std::string info_request(int id) {
  return R"({"jsonrpc":"2.0","method":"getMiningInfo","id":)" + std::to_string(id) + ",\"params\":{}}\n";
}

template <typename Call>
std::string error_of(Call call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

class GatewayExchangeTest : public ::testing::TestWithParam<GatewayTransport> {};

TEST_P(GatewayExchangeTest, MinesOnGetMiningInfoAndSubmitsTheProofWithTheJobAsReceived) {
  ScriptedGateway gateway(GetParam());
  const std::string second_info =
      R"({"result":{"target":  77, "incomplete_header_bytes":"AAE="}})";
  gateway.play({{kInfoReply}, {second_info}, {std::string("{\"result\":true}\r")}});
  const Config config = gateway.config();
  auto connection = connect_gateway(config);

  const MiningJob job = gateway_get_mining_info(*connection, config);
  EXPECT_EQ(job.header_b64, "AAEC");
  EXPECT_EQ(job.header_bytes, (std::vector<uint8_t>{0x00, 0x01, 0x02}));
  EXPECT_EQ(job.target_text, "1000");
  // 1000 scaled by 2 opened rows x 64 opened columns x k = 256.
  EXPECT_EQ(job.target, (ShareTarget{1000u * 2 * 64 * 256, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(job.m, 256);
  EXPECT_EQ(job.n, 512);
  EXPECT_EQ(job.k, 256);
  EXPECT_EQ(job.rank, 64);
  EXPECT_EQ(job.rows_pattern, (std::vector<int32_t>{0, 32}));
  EXPECT_EQ(job.cols_pattern, default_opened_columns());
  EXPECT_EQ(job.job_id, "");
  EXPECT_EQ(job.share_nbits, "");
  EXPECT_EQ(job.generation, 0u);
  EXPECT_TRUE(job.clean);
  EXPECT_EQ(job.difficulty, 0);

  const MiningJob second = gateway_get_mining_info(*connection, config);
  EXPECT_EQ(second.header_bytes, (std::vector<uint8_t>{0x00, 0x01}));
  EXPECT_EQ(second.target_text, "77");

  // The reply comes back as sent, carriage return included.
  EXPECT_EQ(gateway_submit_plain_proof(*connection, "UFJPT0Y=", second), "{\"result\":true}\r");

  EXPECT_EQ(gateway.received(),
            (std::vector<std::string>{
                info_request(1), info_request(2),
                R"({"jsonrpc":"2.0","method":"submitPlainProof","id":3,"params":{"plain_proof":"UFJPT0Y=",)"
                R"("mining_job":{"incomplete_header_bytes":"AAE=","target":77}}})"
                "\n"}));
}

TEST_P(GatewayExchangeTest, ASilentGatewayFailsAtTheDeadline) {
  ScriptedGateway gateway(GetParam());
  gateway.play({GatewayStep{}});  // reads the request, never answers
  const Config config = gateway.config();
  auto connection = connect_gateway(config);
  connection->timeout_ms = 200;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_of([&] { gateway_get_mining_info(*connection, config); }),
            "gateway request timed out after 200 ms while waiting for the reply");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(2));
}

TEST_P(GatewayExchangeTest, AGatewayThatStopsReadingFailsTheSendAtTheDeadline) {
  ScriptedGateway gateway(GetParam());
  gateway.play({GatewayStep{std::nullopt, false, true}});
  const Config config = gateway.config();
  auto connection = connect_gateway(config);
  connection->timeout_ms = 200;

  // Far more than the socket buffers hold.
  const std::string proof(32 << 20, 'A');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_of([&] { gateway_submit_plain_proof(*connection, proof, MiningJob{}); }),
            "gateway request timed out after 200 ms while sending");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(Transports, GatewayExchangeTest,
                         ::testing::Values(GatewayTransport::uds, GatewayTransport::tcp),
                         [](const auto& info) { return info.param == GatewayTransport::tcp ? "tcp" : "uds"; });

TEST(GatewayRepliesTest, MalformedRepliesFailWithTheirOwnError) {
  struct Case {
    std::string reply;
    std::string error;  // empty: accepted
  };
  const std::string error_object = R"({"id":1,"error":{"code":-32000,"message":"busy"}})";
  const std::vector<Case> cases = {
      {error_object, "gateway returned error: " + error_object},
      {R"({"result":{"incomplete_header_bytes":"AAEC","target":5},"error":null})", ""},
      {R"({"result":{"incomplete_header_bytes":"AAEC","target":"5"}})", "malformed JSON integer field: target"},
      {R"({"result":{"target":5}})", "missing JSON field: incomplete_header_bytes"},
      {R"({"result":{"incomplete_header_bytes":"AAEC"}})", "missing JSON field: target"},
      {R"({"result":{"incomplete_header_bytes":"AA*C","target":5}})", "invalid base64 data"},
      {R"({"result":{"incomplete_header_bytes":"AAEC","target":)" + std::string(80, '9') + "}}",
       "target exceeds uint256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    ScriptedGateway gateway(GatewayTransport::uds);
    gateway.play({{c.reply}});
    const Config config = gateway.config();
    auto connection = connect_gateway(config);
    const std::string error = error_of([&] { gateway_get_mining_info(*connection, config); });
    EXPECT_EQ(error, c.error.empty() ? "no error" : c.error);
  }
}

TEST(GatewayRepliesTest, AGatewayThatHangsUpFailsTheRequest) {
  ScriptedGateway gateway(GatewayTransport::uds);
  gateway.play({GatewayStep{std::nullopt, true}});
  const Config config = gateway.config();
  auto connection = connect_gateway(config);
  EXPECT_EQ(error_of([&] { gateway_get_mining_info(*connection, config); }), "gateway closed connection");
}

TEST(GatewayBase64Test, DecodesTheHeaderLeniently) {
  struct Case {
    std::string text;
    std::vector<uint8_t> bytes;
  };
  for (const Case& c : std::vector<Case>{
           {"AAEC", {0x00, 0x01, 0x02}},
           {"AAE=", {0x00, 0x01}},
           {"A A\tE\nC", {0x00, 0x01, 0x02}},
           {"AAEC=*ignored*", {0x00, 0x01, 0x02}},
           {"/+8", {0xff, 0xef}},
           {"", {}},
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode_gateway_base64(c.text), c.bytes);
  }
  EXPECT_EQ(error_of([] { decode_gateway_base64("AA*C"); }), "invalid base64 data");
  EXPECT_EQ(error_of([] { decode_gateway_base64("AA-C"); }), "invalid base64 data");
}

}  // namespace
