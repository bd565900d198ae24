#include "pool/pool_challenge.h"

#include <chrono>
#include <cstdio>

#include "core/codecs.h"
#include "core/log.h"
#include "pool/json_fields.h"
#include "pool/json_text.h"
#include "pool/pool_connection.h"
#include "pool/pool_rpc.h"
#include "proof/challenge_search.h"
#include "proof/challenge_solver.h"

void handle_challenge(PoolConnection& conn, const std::string& line) {
  const std::string seed = json_string_field(line, "seed");
  const uint64_t difficulty = std::stoul(json_int_field(line, "difficulty"), nullptr, 10);
  if (seed.size() != 64) throw std::runtime_error("malformed vexal.challenge seed");
  hex_decode(seed);
  // Refused before narrowing: a cut-down difficulty would answer a different challenge.
  check_challenge_difficulty(difficulty);
  conn.challenge_seed = seed;
  conn.has_challenge = true;
  conn.challenge_difficulty = static_cast<uint32_t>(difficulty);
  ++conn.challenges_stored;
  log_info("pool", "challenge_received difficulty=" + std::to_string(conn.challenge_difficulty) +
                       " seed=" + seed.substr(0, 8));
}

namespace {

// Clears the flag however the answer ends.
struct AnsweringChallenge {
  explicit AnsweringChallenge(PoolConnection& c) : conn(c) { conn.answering_challenge = true; }
  ~AnsweringChallenge() { conn.answering_challenge = false; }
  PoolConnection& conn;
};

// Solves the stored challenge, sends the answer and waits for its reply.
void answer_stored_challenge(PoolConnection& conn) {
  const std::vector<uint8_t> seed = hex_decode(conn.challenge_seed);
  if (seed.size() != 32) throw std::runtime_error("malformed vexal.challenge seed");
  const uint32_t difficulty = conn.challenge_difficulty;
  const auto started = std::chrono::steady_clock::now();
  uint64_t nonce = 0;
  try {
    nonce = conn.solve_challenge(seed.data(), difficulty);
  } catch (const ChallengeSearchAbandoned& abandoned) {
    log_line(LogLevel::Warn, "pool",
             "challenge_abandoned difficulty=" + std::to_string(abandoned.difficulty) +
                 " seconds=" + format_fixed(static_cast<double>(abandoned.elapsed_ns) / 1e9, 3) +
                 " limit_seconds=" + std::to_string(kChallengeSearchLimitNs / 1000000000) + " reason=" +
                 (abandoned.reason == ChallengeGiveUp::TimeLimit ? "time_limit" : "beyond_device") +
                 " action=reconnect");
    throw;
  }
  const auto finished = std::chrono::steady_clock::now();
  const double seconds =
      std::chrono::duration_cast<std::chrono::nanoseconds>(finished - started).count() / 1e9;
  char nonce_text[17];
  std::snprintf(nonce_text, sizeof(nonce_text), "%016llx", static_cast<unsigned long long>(nonce));
  log_info("pool", "challenge_solved difficulty=" + std::to_string(difficulty) + " nonce=" + nonce_text +
                       " seconds=" + format_fixed(seconds, 3));
  conn.phase = "challenge_response";
  rpc_call(conn, "vexal.challenge_response",
           "{\"seed\":\"" + json_escape(conn.challenge_seed) + "\",\"nonce\":\"" + nonce_text + "\"}");
}

}  // namespace

void solve_and_answer_challenge(PoolConnection& conn) {
  // Answering inside another answer's reply wait would nest once per
  // challenge, letting the peer choose the stack depth: the running answer
  // takes the newly stored challenge when its own reply is in.
  if (conn.answering_challenge) return;
  AnsweringChallenge answering(conn);
  try {
    for (;;) {
      const uint64_t answered = conn.challenges_stored;
      answer_stored_challenge(conn);
      if (conn.challenges_stored == answered) break;
    }
    conn.has_challenge = false;
    conn.challenge_seed.clear();
    conn.challenge_difficulty = 0;
  } catch (const ChallengeAnswerError&) {
    throw;
  } catch (const std::exception& e) {
    throw ChallengeAnswerError(std::string("challenge answer failed: ") + e.what());
  }
}
