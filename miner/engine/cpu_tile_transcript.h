#pragma once
// The CPU replay of a mining candidate's transcript: the words and the keyed
// digest the mining kernels must report for the same rows.
#include <cstdint>
#include <vector>

struct Config;
struct OpenedRowsCols;

// A rows: NR rows of k int8 (NR = shape.rows.size()), row after row; B rows:
// NC rows of k int8 (NC = shape.cols.size()), one per product column. k and
// rank come from the config. Accumulators are cumulative over k; after every
// rank columns their XOR folds into word (step mod 16) as
// fold ^ rotl32(word, 13). Writes the 16 words and their keyed one-block hash.
void cpu_tile_transcript(uint8_t out_hash[32], const std::vector<int8_t>& a_rows,
                         const std::vector<int8_t>& b_rows, const OpenedRowsCols& shape,
                         const uint8_t key[32], const Config& config, uint32_t out_state[16]);
