#pragma once
#include <stdexcept>
#include <string>

struct PoolConnection;

// A challenge that could not be answered (solver failure, transport failure or
// an error reply to the answer). Kept apart from StratumResponseError so that a
// challenge answered inside a share's reply wait is never taken for the
// share's own rejection.
struct ChallengeAnswerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Stores a vexal.challenge line's seed and difficulty. Throws for a malformed
// seed, a difficulty the solver does not support (the solver's error text) and
// the field scanners' errors; nothing is stored then.
void handle_challenge(PoolConnection& conn, const std::string& line);

// Solves the stored challenge, sends vexal.challenge_response, waits for its
// reply and clears the challenge. A challenge stored during that wait is
// answered next, in the same call; called during an answer, it returns at
// once. Every failure is raised as ChallengeAnswerError.
void solve_and_answer_challenge(PoolConnection& conn);
