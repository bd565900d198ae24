#pragma once
// The records through which mining kernels report to the host. Host and device
// share their byte layout; every byte not named here is private to the device.
#include <cstddef>
#include <cstdint>

struct HostSignalHeader {
  uint32_t status;            // 1 when the launch found a candidate
  uint8_t device_private0[36];
  uint32_t tile_m_index;      // winning tile, along m
  uint32_t tile_n_index;      // winning tile, along n
  uint8_t device_private1[4];
  int32_t candidate_thread;   // thread within its block
  uint8_t device_private2[8];
  uint16_t pair_count;        // opened (row, column) pairs, at most 256
  uint16_t pair_rows[256];    // row within the tile
  uint16_t pair_cols[256];    // column within the tile
  uint8_t device_private3[14];
  int32_t tile_height;
  int32_t tile_width;
  uint8_t device_private4[4];
  uint32_t transcript[16];
  uint8_t kernel_hash[32];    // keyed with the attempt's A noise seed
  uint8_t device_private5[68];
};

static_assert(sizeof(HostSignalHeader) == 1280, "HostSignalHeader is 1280 bytes");
static_assert(offsetof(HostSignalHeader, tile_m_index) == 40, "layout");
static_assert(offsetof(HostSignalHeader, candidate_thread) == 52, "layout");
static_assert(offsetof(HostSignalHeader, pair_count) == 64, "layout");
static_assert(offsetof(HostSignalHeader, pair_rows) == 66, "layout");
static_assert(offsetof(HostSignalHeader, pair_cols) == 578, "layout");
static_assert(offsetof(HostSignalHeader, tile_height) == 1104, "layout");
static_assert(offsetof(HostSignalHeader, transcript) == 1116, "layout");
static_assert(offsetof(HostSignalHeader, kernel_hash) == 1180, "layout");

// Device memory the mining kernels share among themselves; the host only clears it.
struct HostSignalSync {
  uint32_t words[2];
};
static_assert(sizeof(HostSignalSync) == 8, "HostSignalSync is 8 bytes");

// One record per (candidate thread, rank step) of the jackpot dump.
struct VexalHeadlessJackpotDumpEntry {
  uint32_t block_x;
  uint32_t block_y;
  uint32_t k_tile;           // k_pos / 64 - 1
  uint32_t transcript_index; // (k_pos / rank - 1) mod 16
  uint32_t xored_tile;       // XOR of the thread's accumulators after the step
  uint32_t transcript_word;  // the new value of that transcript word
  uint32_t k_pos;            // k columns accumulated so far
};
static_assert(sizeof(VexalHeadlessJackpotDumpEntry) == 28, "dump entry is 28 bytes");
