#pragma once
// The noise generator kernel. The grid is cut into consecutive segments, one
// per output (left_a, right_a, right_a_aux, right_b, right_b_aux, left_b,
// extra). Every block first stages its share of its segment's stream in
// shared memory, then writes it out:
//   left segments:  32·T / R rows of R bytes (32·T bytes of the "left" stream);
//   right segments: 8·T columns, 8 per thread (one stream word per column);
//   extra segment:  8·T bytes of the "extra" stream of the A seed.
#include <cstdint>

#include "core/gpu_platform.h"
#include "gemm/noise_factor_rule.h"

namespace vexal {

template <int R, int T>
struct NoiseGenerationKernel {
  static_assert(R == 64 || R == 128, "noise rank is 64 or 128");
  static_assert(T == 32 || T == 64 || T == 128, "32, 64 or 128 threads per block");

  static constexpr int MaxThreadsPerBlock = T;
  static constexpr int MinBlocksPerMultiprocessor = 1;
  static constexpr int kRowsPerBlock = 32 * T / R;
  static constexpr int kColumnsPerBlock = 8 * T;
  static constexpr int kExtraPerBlock = 8 * T;
  static constexpr int kSharedBytes = 64 * T;

  struct Params {
    int8_t* left_a;
    int8_t* left_a_aux;
    int8_t* right_a;
    int8_t* right_a_aux;
    int8_t* right_b;
    int8_t* right_b_aux;
    int8_t* left_b;
    int8_t* left_b_aux;
    uint32_t k_a;
    uint32_t k_b;
    uint32_t m;
    uint32_t n;
    const uint8_t* seed_a;
    const uint8_t* seed_b;
    int8_t* extra;
    uint32_t extra_len;
    uint32_t blocks_left_a;
    uint32_t blocks_right_a;
    uint32_t blocks_right_a_aux;
    uint32_t blocks_right_b;
    uint32_t blocks_right_b_aux;
    uint32_t blocks_left_b;
    uint32_t blocks_extra;
  };

  __device__ void operator()(const Params& params, char* dynamic_shared) const {
    uint32_t* stage = reinterpret_cast<uint32_t*>(dynamic_shared);
    uint32_t block = blockIdx.x;
    if (block < params.blocks_left_a) {
      left(params.seed_a, params.left_a, params.left_a_aux, params.m, block, stage);
      return;
    }
    block -= params.blocks_left_a;
    if (block < params.blocks_right_a) {
      right(params.seed_a, params.right_a, params.k_a, block, stage);
      return;
    }
    block -= params.blocks_right_a;
    if (block < params.blocks_right_a_aux) {
      right(params.seed_a, params.right_a_aux, params.k_a, block, stage);
      return;
    }
    block -= params.blocks_right_a_aux;
    if (block < params.blocks_right_b) {
      right(params.seed_b, params.right_b, params.k_b, block, stage);
      return;
    }
    block -= params.blocks_right_b;
    if (block < params.blocks_right_b_aux) {
      right(params.seed_b, params.right_b_aux, params.k_b, block, stage);
      return;
    }
    block -= params.blocks_right_b_aux;
    if (block < params.blocks_left_b) {
      left(params.seed_b, params.left_b, params.left_b_aux, params.n, block, stage);
      return;
    }
    block -= params.blocks_left_b;
    if (block < params.blocks_extra) extra(params.seed_a, params.extra, params.extra_len, block, stage);
  }

 private:
  // Stream blocks first .. first + count - 1 into stage (16 words each), one
  // compression per thread.
  __device__ static void stage_stream(const uint8_t* seed, noise_rule::Stream stream,
                                      uint64_t first, int count, uint32_t* stage) {
    const int t = static_cast<int>(threadIdx.x);
    if (t < count) {
      uint32_t key[8];
      noise_rule::load_seed(seed, key);
      noise_rule::stream_block(key, stream, first + static_cast<uint64_t>(t), stage + 16 * t);
    }
    __syncthreads();
  }

  __device__ static void left(const uint8_t* seed, int8_t* out, int8_t* aux, uint32_t rows,
                              uint32_t block, uint32_t* stage) {
    // 32·T bytes per block: T / 2 stream blocks.
    stage_stream(seed, noise_rule::Stream::left, static_cast<uint64_t>(block) * (T / 2), T / 2,
                 stage);
    const uint64_t first_row = static_cast<uint64_t>(block) * kRowsPerBlock;
    const uint64_t row_count =
        rows - first_row < static_cast<uint64_t>(kRowsPerBlock) ? rows - first_row : kRowsPerBlock;
    const uint32_t words = static_cast<uint32_t>(row_count * R / 4);
    copy_words(stage, out + first_row * R, words);
    if (aux) copy_words(stage, aux + first_row * R, words);
  }

  __device__ static void copy_words(const uint32_t* stage, int8_t* out, uint32_t words) {
    if (reinterpret_cast<uintptr_t>(out) % 4 == 0) {
      uint32_t* out_words = reinterpret_cast<uint32_t*>(out);
      for (uint32_t w = threadIdx.x; w < words; w += T) out_words[w] = stage[w];
      return;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stage);
    for (uint32_t i = threadIdx.x; i < 4 * words; i += T) out[i] = static_cast<int8_t>(bytes[i]);
  }

  __device__ static void right(const uint8_t* seed, int8_t* out, uint32_t k, uint32_t block,
                               uint32_t* stage) {
    // One stream word per column: 8·T columns are T / 2 stream blocks.
    stage_stream(seed, noise_rule::Stream::right, static_cast<uint64_t>(block) * (T / 2), T / 2,
                 stage);
    const uint32_t first_column = block * kColumnsPerBlock + 8u * threadIdx.x;
    if (first_column >= k) return;
    int row0[8];
    int row1[8];
    for (int e = 0; e < 8; ++e) noise_rule::column_rows(stage[8 * threadIdx.x + e], R, &row0[e], &row1[e]);
    const bool whole = first_column + 8u <= k && k % 8u == 0 &&
                       reinterpret_cast<uintptr_t>(out) % 8 == 0;
    for (int r = 0; r < R; ++r) {
      int8_t* dst = out + static_cast<uint64_t>(r) * k + first_column;
      uint64_t bytes = 0;
      for (int e = 0; e < 8; ++e) {
        if (row0[e] == r || row1[e] == r) bytes |= uint64_t{1} << (8 * e);
      }
      if (whole) {
        *reinterpret_cast<uint64_t*>(dst) = bytes;
      } else {
        for (uint32_t e = 0; e < 8 && first_column + e < k; ++e) {
          dst[e] = static_cast<int8_t>(bytes >> (8 * e));
        }
      }
    }
  }

  __device__ static void extra(const uint8_t* seed, int8_t* out, uint32_t length, uint32_t block,
                               uint32_t* stage) {
    // 8·T bytes per block: T / 8 stream blocks.
    stage_stream(seed, noise_rule::Stream::extra, static_cast<uint64_t>(block) * (T / 8), T / 8,
                 stage);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stage);
    const uint64_t first = static_cast<uint64_t>(block) * kExtraPerBlock;
    for (uint32_t i = threadIdx.x; i < static_cast<uint32_t>(kExtraPerBlock); i += T) {
      if (first + i < length) out[first + i] = static_cast<int8_t>(bytes[i]);
    }
  }
};

}  // namespace vexal
