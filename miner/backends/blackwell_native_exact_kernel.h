#pragma once
// Debug launchers of the native-exact rank-tile check: one 128 x 256 tile's
// per-candidate folds and transcript updates, one 128-deep rank step at a
// time or the whole depth in one launch. Not part of any backend row.
#include <cstdint>

#include "core/gpu_api.h"

namespace vexal_blackwell_native_exact {

// One rank step on the window [k_offset, k_offset + 128): hashes[c] = fold of
// candidate c, transcript_out = transcript_in with word (transcript_step mod
// 16) of each candidate updated. One block, one thread per candidate.
cudaError_t launch_debug_rank_tile(const int8_t* a, const int8_t* b, const uint32_t* transcript_in,
                                   uint32_t* hashes, uint32_t* transcript_out, int m, int n, int k,
                                   int tile_row, int tile_col, int k_offset, int transcript_step,
                                   cudaStream_t stream);

// The same step with one block per candidate and one thread per owned cell.
cudaError_t launch_owner_debug_rank_tile(const int8_t* a, const int8_t* b,
                                         const uint32_t* transcript_in, uint32_t* hashes,
                                         uint32_t* transcript_out, int m, int n, int k,
                                         int tile_row, int tile_col, int k_offset,
                                         int transcript_step, cudaStream_t stream);

// Every rank step of k in order (step s on [128 s, 128 s + 128)); hashes[c]
// is the XOR of candidate c's folds.
cudaError_t launch_owner_debug_full_tile(const int8_t* a, const int8_t* b,
                                         const uint32_t* transcript_in, uint32_t* hashes,
                                         uint32_t* transcript_out, int m, int n, int k,
                                         int tile_row, int tile_col, cudaStream_t stream);

}  // namespace vexal_blackwell_native_exact
