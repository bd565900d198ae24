// The BLAKE3 challenge search: one nonce per device thread, launch after
// launch on the default stream until a launch reports a find.
#include "proof/challenge_solver.h"

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "core/cuda_check.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "tensor_hash/blake3_device.h"

namespace {

constexpr unsigned kBlocksPerLaunch = 32768;
constexpr unsigned kThreadsPerBlock = 256;
constexpr uint64_t kNoncesPerLaunch = uint64_t{kBlocksPerLaunch} * kThreadsPerBlock;
constexpr uint32_t kMessageBytes = 40;  // seed (32) || nonce (8, little-endian)

__host__ __device__ inline uint32_t byte_swap32(uint32_t w) {
  return (w >> 24) | ((w >> 8) & 0xff00u) | ((w << 8) & 0xff0000u) | (w << 24);
}

// Whether the digest (eight little-endian words, byte 0 first) begins with
// `difficulty` zero bits, most significant bit of each byte first.
__host__ __device__ inline bool has_leading_zero_bits(const uint32_t digest[8], uint32_t difficulty) {
  uint32_t remaining = difficulty;
  for (int i = 0; i < 8 && remaining > 0; ++i) {
    const uint32_t first_bits_first = byte_swap32(digest[i]);
    if (remaining >= 32) {
      if (first_bits_first != 0) return false;
      remaining -= 32;
    } else {
      return (first_bits_first >> (32 - remaining)) == 0;
    }
  }
  return true;
}

__global__ void __launch_bounds__(256)
    solve_blake3_challenge_kernel(const uint8_t* seed, uint32_t difficulty, uint64_t nonce_base,
                                  uint32_t* found, uint64_t* nonce) {
  // Once any thread has answered, the rest of the launch has nothing to do.
  if (*static_cast<volatile uint32_t*>(found) != 0) return;
  const uint64_t candidate = nonce_base + uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;

  uint32_t block[16] = {};
  for (int i = 0; i < 8; ++i) block[i] = blake3::load_le32(seed + 4 * i);
  block[8] = static_cast<uint32_t>(candidate);
  block[9] = static_cast<uint32_t>(candidate >> 32);
  uint32_t iv[8];
  for (int i = 0; i < 8; ++i) iv[i] = blake3::iv(i);
  uint32_t digest[8];
  blake3::compress_cv(iv, block, 0, kMessageBytes, blake3::CHUNK_START | blake3::CHUNK_END | blake3::ROOT,
                      digest);
  if (!has_leading_zero_bits(digest, difficulty)) return;
  // Only the first finder writes the nonce, so it never mixes two answers.
  if (atomicCAS(found, 0u, 1u) == 0u) *nonce = candidate;
}

// Device buffers of one search; freed however the search ends.
struct ChallengeBuffers {
  uint8_t* seed = nullptr;
  uint32_t* found = nullptr;
  uint64_t* nonce = nullptr;

  ChallengeBuffers() = default;
  ChallengeBuffers(const ChallengeBuffers&) = delete;
  ChallengeBuffers& operator=(const ChallengeBuffers&) = delete;
  ~ChallengeBuffers() {
    // Only reached with buffers left after a failure; its error goes on unchanged.
    if (seed != nullptr) cudaFree(seed);
    if (found != nullptr) cudaFree(found);
    if (nonce != nullptr) cudaFree(nonce);
  }

  void release() {
    check_cuda(cudaFree(std::exchange(seed, nullptr)), "challenge seed cudaFree");
    check_cuda(cudaFree(std::exchange(found, nullptr)), "challenge found cudaFree");
    check_cuda(cudaFree(std::exchange(nonce, nullptr)), "challenge nonce cudaFree");
  }
};

}  // namespace

void check_challenge_difficulty(uint64_t difficulty) {
  if (difficulty > kMaxChallengeDifficultyBits) throw std::runtime_error(kChallengeDifficultyTooHigh);
}

uint64_t solve_blake3_challenge_gpu(const uint8_t seed[32], uint32_t difficulty, const ChallengeSearchLimit& limit) {
  check_challenge_difficulty(difficulty);

  ChallengeBuffers buffers;
  check_cuda(cudaMalloc(reinterpret_cast<void**>(&buffers.seed), 32), "challenge seed cudaMalloc");
  check_cuda(cudaMalloc(reinterpret_cast<void**>(&buffers.found), sizeof(uint32_t)), "challenge found cudaMalloc");
  check_cuda(cudaMalloc(reinterpret_cast<void**>(&buffers.nonce), sizeof(uint64_t)), "challenge nonce cudaMalloc");
  check_cuda(cudaMemcpy(buffers.seed, seed, 32, cudaMemcpyHostToDevice), "challenge seed copy");
  check_cuda(cudaMemset(buffers.found, 0, sizeof(uint32_t)), "challenge found memset");

  const uint64_t nonce = search_challenge_nonces(
      difficulty, kNoncesPerLaunch, limit, [&buffers, difficulty](uint64_t nonce_base, uint64_t& answer) {
        launch_kernel(solve_blake3_challenge_kernel, dim3(kBlocksPerLaunch), dim3(kThreadsPerBlock), 0, nullptr,
                      buffers.seed, difficulty, nonce_base, buffers.found, buffers.nonce);
        check_cuda(cudaGetLastError(), "solve_blake3_challenge_kernel");
        uint32_t found = 0;
        check_cuda(cudaMemcpy(&found, buffers.found, sizeof(found), cudaMemcpyDeviceToHost), "challenge found copy");
        if (found == 0) return false;
        check_cuda(cudaMemcpy(&answer, buffers.nonce, sizeof(answer), cudaMemcpyDeviceToHost), "challenge nonce copy");
        return true;
      });
  buffers.release();
  return nonce;
}
