// The pool connection code refers to the handshake and to the GPU challenge
// solver; the harnesses reach neither, so these stand in for them without
// pulling in the device code.
#include <stdexcept>

#include "pool/pool_handshake.h"
#include "proof/challenge_solver.h"

void connect_and_handshake(PoolConnection&) {
  throw std::logic_error("the fuzz harnesses do not connect to pools");
}

void check_challenge_difficulty(uint64_t) {
  throw std::logic_error("the fuzz harnesses do not answer challenges");
}

uint64_t solve_blake3_challenge_gpu(const uint8_t*, uint32_t, const ChallengeSearchLimit&) {
  throw std::logic_error("the fuzz harnesses do not answer challenges");
}
