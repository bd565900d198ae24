#pragma once
#include <cstdint>
#include <vector>

// Blocking copies of device rows to the host for the diagnostics. They run on
// the legacy stream: the caller synchronises whatever produced the rows first.
std::vector<uint8_t> copy_rows_to_host(const int8_t* device_base, int64_t first_row,
                                       uint64_t row_count, int32_t row_bytes, const char* step);

std::vector<uint8_t> gather_device_rows(const int8_t* device_base,
                                        const std::vector<uint64_t>& row_indices,
                                        int32_t row_bytes, const char* step);
