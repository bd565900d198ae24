// The korvath binary mining against a scripted pool on loopback, at 256^3
// rank 64 with a target every digest meets: each attempt finds a candidate,
// and every mining.submit must carry a proof that verifies.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/codecs.h"
#include "run_binary.h"
#include "scripted_pool.h"
#include "submitted_proof.h"

namespace {

const char kAddress[] = "vex1ppvc9275lcn5suv6c0k3v0mq3xedcpfw2au2rjh5r4rxly9euvxrqaercgl";
// Scaled by the job's factor (2 x 64 x 256) this saturates: every digest hits.
const char kAnyDigest[] = "2100ffff";
constexpr int kLineTimeoutMs = 60000;

struct MiningCase {
  const char* name;
  const char* devices;                 // HOSTGPU_DEVICES
  std::vector<std::string> options;    // a forced row, --profile
  const char* row;
  bool pipeline;                       // mines through the pool pipeline
};

// A fused row mines through the serial loop, a split row through the pool
// pipeline, or through the serial loop (proving from snapshots) when profiling.
const std::vector<MiningCase>& mining_cases() {
  static const std::vector<MiningCase> cases = {
      {"serial loop", "8.6,Host GPU,1024,8", {"--force-backend", "cmp170hx-dp2a"},
       "cmp170hx_dp2a_int", false},
      {"pool pipeline", "8.6,Host RTX 3090,1024,82", {}, "ampere_sm8x", true},
      {"split serial loop", "8.6,Host RTX 3090,1024,82", {"--profile"}, "ampere_sm8x", false},
  };
  return cases;
}

std::vector<std::string> pool_args(uint16_t port, const MiningCase& c, int attempts, bool sync) {
  std::vector<std::string> args{"--pool", "127.0.0.1:" + std::to_string(port), "--address",
                                kAddress, "--password", "x", "--m", "256", "--n", "256", "--k",
                                "256", "--rank", "64", "--max-attempts", std::to_string(attempts),
                                "--debug-log"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  if (sync) args.push_back("--sync-proof-submit");
  return args;
}

std::vector<std::pair<std::string, std::string>> host_env(const char* devices,
                                                          const char* streams = "eager") {
  return {{"HOSTGPU_DEVICES", devices}, {"HOSTGPU_STREAMS", streams}, {"NO_COLOR", "1"}};
}

HandshakeScript small_job_handshake(const std::string& header_hex) {
  HandshakeScript script;
  script.login = kAddress;
  script.password = "x";
  script.params_line = mining_params_line(256, 256, 256, 64);
  script.job_lines = {notify_line("\"job-1\"", kAnyDigest, true, header_hex)};
  return script;
}

int count(const std::string& text, const std::string& piece) {
  int found = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
  return found;
}

// Reads one mining.submit, checks its job and proof, and answers it (after
// `before_reply`, when given); returns the proof's A root.
std::string expect_verifying_share(PeerLink& link, int32_t& next_id, const std::string& job_id,
                                   const std::string& header_hex, const std::string& before_reply = "") {
  const std::string line = link.read_line(kLineTimeoutMs);
  const std::string id = std::to_string(next_id);
  EXPECT_EQ(line.rfind("{\"id\":" + id + ",\"method\":\"mining.submit\",\"params\":[\"" +
                           std::string(kAddress) + "\",\"" + job_id + "\",\"",
                       0),
            0u)
      << line.substr(0, 200);
  const std::string proof = proof_of_submit_line(line);
  std::string a_root;
  EXPECT_EQ(check_submitted_proof(proof, ProofShape{}, hex_decode(header_hex), &a_root), "")
      << job_id;
  if (!before_reply.empty()) link.send_line(before_reply);
  link.send_line(ok_reply(next_id++));
  return a_root;
}

std::string flood_challenge(int i) {
  char seed[65];
  std::snprintf(seed, sizeof(seed), "%056d%08x", 0, static_cast<unsigned>(i));
  return "{\"id\":null,\"method\":\"vexal.challenge\",\"params\":{\"seed\":\"" + std::string(seed) +
         "\",\"difficulty\":1}}";
}

// Reads a challenge answer, checks its nonce and returns its request id.
int32_t expect_challenge_answer(PeerLink& link, int i) {
  const std::string line = link.read_line(kLineTimeoutMs);
  const size_t seed_at = line.find("\"seed\":\"");
  const size_t nonce_at = line.find("\"nonce\":\"");
  EXPECT_NE(line.find("\"method\":\"vexal.challenge_response\""), std::string::npos) << line;
  if (seed_at == std::string::npos || nonce_at == std::string::npos) return -1;
  const std::string seed = line.substr(seed_at + 8, 64);
  EXPECT_EQ("{\"id\":null,\"method\":\"vexal.challenge\",\"params\":{\"seed\":\"" + seed + "\",\"difficulty\":1}}",
            flood_challenge(i));
  const uint64_t nonce = std::strtoull(line.substr(nonce_at + 9, 16).c_str(), nullptr, 16);
  EXPECT_TRUE(challenge_answer_ok(hex_decode(seed).data(), nonce, 1)) << line;
  return std::atoi(line.c_str() + 6);
}


}  // namespace

TEST(PoolMining, EveryShareCarriesAVerifyingProofSyncAndAsync) {
  struct Submission {
    bool sync;
    const char* streams;
  };
  const Submission submissions[] = {
      {true, "eager"}, {true, "deferred"}, {false, "eager"}, {false, "deferred"}};
  for (const MiningCase& c : mining_cases()) {
    for (const Submission& s : submissions) {
      SCOPED_TRACE(std::string(c.name) + (s.sync ? " sync " : " async ") + s.streams);
      std::vector<std::string> proved_roots;
      ScriptedPool pool;
      pool.run([&proved_roots](ScriptedPool& p) {
        auto link = p.accept(kLineTimeoutMs);
        int32_t next_id = 1;
        serve_handshake(*link, next_id, small_job_handshake("00112233"));
        for (int share = 0; share < 2; ++share) {
          proved_roots.push_back(expect_verifying_share(*link, next_id, "job-1", "00112233"));
        }
        EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
      });
      const BinaryRun run =
          run_korvath(pool_args(pool.port(), c, 2, s.sync), host_env(c.devices, s.streams));
      pool.join();
      ASSERT_EQ(run.status, 0) << run.out << run.err;
      EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"),
                std::string::npos);
      EXPECT_EQ(count(run.out, "component=share found_candidate rows="), 2) << run.out;
      EXPECT_EQ(count(run.out, "submitted job=job-1"), 2) << run.out << run.err;
      EXPECT_EQ(run.err.find("level=ERROR"), std::string::npos) << run.err;
      // Asynchronous submission announces itself once at start-up.
      EXPECT_EQ(count(run.out, "component=proof gpu_plainproof=true async_submit=true "
                               "job_refresh_attempts=1\n"),
                s.sync ? 0 : 1)
          << run.out;
      // The proof opens the very matrix the attempt committed to.
      ASSERT_EQ(proved_roots.size(), 2u);
      for (const std::string& root : proved_roots) {
        EXPECT_NE(run.out.find("gpu_a_root=" + root), std::string::npos) << root;
      }
    }
  }
}

// The pool replaces the job while the first share waits for its reply: the
// attempt during which the new job arrived is dropped, the next one proves
// the new job. (Sent before the reply, the job is in hand when mining goes
// on, whatever the machine's load.)
TEST(PoolMining, AJobChangeDropsTheStaleCandidateAndMinesTheNewJob) {
  for (const MiningCase& c : mining_cases()) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([](ScriptedPool& p) {
      auto link = p.accept(kLineTimeoutMs);
      int32_t next_id = 1;
      serve_handshake(*link, next_id, small_job_handshake("00112233"));
      expect_verifying_share(*link, next_id, "job-1", "00112233",
                             notify_line("\"job-2\"", kAnyDigest, true, "44556677"));
      expect_verifying_share(*link, next_id, "job-2", "44556677");
      EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
    });
    const BinaryRun run = run_korvath(pool_args(pool.port(), c, 3, true), host_env(c.devices));
    pool.join();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string action = c.pipeline ? "flush_pipeline" : "drop_obsolete_work";
    const size_t update = run.out.find(
        "component=pool job_update previous=job-1 previous_generation=1 next=job-2 "
        "next_generation=2 clean=true action=" + action);
    const size_t dropped = run.out.find(
        "dropped reason=obsolete_job stage=found_candidate job=job-1 generation=1 "
        "active_generation=2");
    ASSERT_NE(update, std::string::npos) << run.out;
    ASSERT_NE(dropped, std::string::npos) << run.out;
    EXPECT_LT(update, dropped);
    EXPECT_EQ(count(run.out, "submitted job=job-1"), 1) << run.out;
    EXPECT_EQ(count(run.out, "submitted job=job-2"), 1) << run.out;
  }
}

// A share the pool refuses is logged and not resent; mining goes on.
TEST(PoolMining, ARejectedShareIsLoggedAndNotRetried) {
  const MiningCase& c = mining_cases()[0];
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    auto link = p.accept(kLineTimeoutMs);
    int32_t next_id = 1;
    serve_handshake(*link, next_id, small_job_handshake("00112233"));
    const std::string line = link->read_line(kLineTimeoutMs);
    EXPECT_NE(line.find("\"method\":\"mining.submit\""), std::string::npos);
    link->send_line("{\"id\":" + std::to_string(next_id++) +
                    ",\"result\":null,\"error\":[23,\"low difficulty share\",null]}");
    expect_verifying_share(*link, next_id, "job-1", "00112233");
    EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
  });
  const BinaryRun run = run_korvath(pool_args(pool.port(), c, 2, true), host_env(c.devices));
  pool.join();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(count(run.out, "submitted job=job-1"), 1) << run.out;
  EXPECT_NE(run.err.find("dropped reason=rejected job=job-1"), std::string::npos) << run.err;
}

// A pool that sends thousands of challenges and answers none: the miner
// answers the first, keeps only the newest of those that arrive meanwhile,
// answers it once the pool replies, and goes on mining.
TEST(PoolMining, AChallengeFloodEndsAndMiningGoesOn) {
  constexpr int kFlood = 8000;
  const MiningCase& c = mining_cases()[0];
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    auto link = p.accept(kLineTimeoutMs);
    int32_t next_id = 1;
    serve_handshake(*link, next_id, small_job_handshake("00112233"));
    link->send_line(flood_challenge(0));
    const int32_t first = expect_challenge_answer(*link, 0);
    EXPECT_EQ(first, next_id++);
    size_t answered_during_flood = 0;
    for (int i = 1; i <= kFlood; ++i) {
      link->send_line(flood_challenge(i));
      answered_during_flood += link->read_available().size();
    }
    if (answered_during_flood != 0) {
      throw std::runtime_error(std::to_string(answered_during_flood) + " challenges answered during the flood");
    }
    link->send_line(ok_reply(first));
    const int32_t last = expect_challenge_answer(*link, kFlood);
    EXPECT_EQ(last, next_id++);
    link->send_line(ok_reply(last));
    expect_verifying_share(*link, next_id, "job-1", "00112233");
    expect_verifying_share(*link, next_id, "job-1", "00112233");
    EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
  });
  const BinaryRun run = run_korvath(pool_args(pool.port(), c, 2, true), host_env(c.devices));
  pool.join();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(count(run.out, "component=pool challenge_solved difficulty=1 "), 2);
  EXPECT_EQ(count(run.out, "submitted job=job-1"), 2);
  EXPECT_EQ(run.err.find("connection_lost"), std::string::npos) << run.err;
}
