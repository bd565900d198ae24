#pragma once
// The engine's own check of a reported candidate: the kernel's transcript
// words against a CPU replay over the opened rows of the noised operands, and
// the kernel's hash against the keyed hash of its words.
#include <array>
#include <cstdint>

struct Config;
struct HostSignalHeader;

struct CandidateTranscriptCheck {
  std::array<uint32_t, 16> replay_words{};
  std::array<uint8_t, 32> replay_hash{};
  std::array<uint8_t, 32> kernel_words_hash{};
  bool kernel_hash_matches = false;  // kernel_hash = keyed hash of the kernel's words
  bool replay_matches = false;       // the replay's words = the kernel's words
};

// noised_a and noised_b are the operands the launch mined (device memory),
// a_noise_seed the launch's seed (device memory). Blocking copies on the
// legacy stream; the caller has synchronised the launch.
CandidateTranscriptCheck check_candidate_transcript(const HostSignalHeader& header,
                                                    const int8_t* noised_a,
                                                    const int8_t* noised_b,
                                                    const uint8_t* a_noise_seed,
                                                    const Config& shape);
