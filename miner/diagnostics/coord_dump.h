#pragma once
// Prints how a backend's mining kernel maps its accumulators onto the tile.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct GpuBackendDescriptor;

constexpr int kCoordDumpStride = 256;       // values per thread the buffers hold
constexpr int kCoordDumpMaxThreads = 1024;  // threads the buffers hold

// The 8 bytes the coordinate-dump kernel writes next to the coordinates.
struct CoordDumpMetadata {
  uint32_t values_per_thread;
  int32_t thread_count;
};
static_assert(sizeof(CoordDumpMetadata) == 8, "CoordDumpMetadata is 8 bytes");

// Threads of one block of the row's mining kernel, when the kernel does not say.
int default_coord_dump_threads(const std::string& row_name);

// The thread count to read back; throws when the kernel's metadata exceeds
// what the host buffers hold.
int coord_dump_threads(const std::string& row_name, const CoordDumpMetadata& metadata);

// The tile's candidate id of one coordinate.
uint32_t coord_candidate_id(uint16_t row, uint16_t col);

// The header, per-warp and first-thread lines; value v of thread t is at
// t * kCoordDumpStride + v of rows and cols.
void write_coord_dump_report(std::ostream& out, const std::string& row_name, int threads,
                             uint32_t values_per_thread, const std::vector<uint16_t>& rows,
                             const std::vector<uint16_t>& cols);

// Launches the row's coordinate dump once on the current device and prints the report.
void run_coord_dump(const GpuBackendDescriptor& row);
