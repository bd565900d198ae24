// The B200 and B300 rows mining against a scripted pool on host devices of
// capability 10.0 and 10.3, with a target every digest meets and the
// engine's transcript check on: every share's proof verifies and every
// candidate's transcript is the CPU replay's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/codecs.h"
#include "run_binary.h"
#include "scripted_pool.h"
#include "submitted_proof.h"

namespace {

const char kAddress[] = "vex1ppvc9275lcn5suv6c0k3v0mq3xedcpfw2au2rjh5r4rxly9euvxrqaercgl";
const char kAnyDigest[] = "2100ffff";  // saturates once scaled by 2 x 64 x 256
constexpr int kLineTimeoutMs = 120000;

// The value of `key=` in `line`, up to the next blank or the line's end.
std::string field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return line.substr(start, line.find_first_of(" \n", start) - start);
}

std::vector<std::string> lines_with(const std::string& text, const std::string& piece) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.find(piece) != std::string::npos) found.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return found;
}

TEST(TwoSmPoolMining, SharesVerifyAndTranscriptsAreTheCpuReplays) {
  struct Case {
    const char* force_name;
    const char* devices;
    int n;
    const char* row;
  };
  const Case cases[] = {
      {"blackwell-b200", "10.0,Host B200,4096,148", 512, "blackwell_b200_sm100"},
      {"blackwell-b300", "10.3,Host B300,4096,148", 256, "blackwell_b300_sm103"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.force_name);
    const ProofShape shape{256, c.n, 256, 128};
    int verified = 0;
    ScriptedPool pool;
    pool.run([&](ScriptedPool& p) {
      auto link = p.accept(kLineTimeoutMs);
      int32_t next_id = 1;
      HandshakeScript script;
      script.login = kAddress;
      script.password = "x";
      script.params_line = mining_params_line(256, c.n, 256, 128);
      script.job_lines = {notify_line("\"job-1\"", kAnyDigest, true, "00112233")};
      serve_handshake(*link, next_id, script);
      for (int share = 0; share < 2; ++share) {
        const std::string line = link->read_line(kLineTimeoutMs);
        EXPECT_NE(line.find("\"method\":\"mining.submit\""), std::string::npos) << line.substr(0, 200);
        const std::string fault =
            check_submitted_proof(proof_of_submit_line(line), shape, hex_decode("00112233"));
        EXPECT_EQ(fault, "");
        if (fault.empty()) ++verified;
        link->send_line(ok_reply(next_id++));
      }
      EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
    });
    const BinaryRun run = run_korvath(
        {"--pool", "127.0.0.1:" + std::to_string(pool.port()), "--address", kAddress, "--password", "x",
         "--m", "256", "--n", std::to_string(c.n), "--k", "256", "--rank", "128", "--max-attempts", "2",
         "--force-backend", c.force_name, "--debug-log"},
        {{"HOSTGPU_DEVICES", c.devices}, {"HEADLESS_MINER_DEBUG_TRANSCRIPT", "1"}, {"NO_COLOR", "1"}});
    pool.join();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"), std::string::npos);
    EXPECT_EQ(verified, 2);
    const std::vector<std::string> proofs = lines_with(run.out, "plainproof backend=gpu");
    ASSERT_EQ(proofs.size(), 2u) << run.out;
    for (const std::string& line : proofs) {
      EXPECT_EQ(field(line, "kernel_transcript"), field(line, "cpu_transcript")) << line;
      EXPECT_EQ(field(line, "kernel_transcript_hash"), field(line, "cpu_replay_kernel_hash")) << line;
      EXPECT_NE(field(line, "kernel_transcript_match"), "none") << line;
      EXPECT_NE(field(line, "kernel_transcript"), "") << line;
    }
  }
}

}  // namespace
