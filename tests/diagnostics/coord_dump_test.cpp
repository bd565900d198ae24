#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/coord_dump.h"

namespace {

TEST(CoordDump, ThreadCountFollowsMetadataWithinLimits) {
  struct Case {
    const char* row;
    uint32_t values;
    int32_t threads;
    int expected;  // -1: refused
  };
  const Case cases[] = {
      {"ada_sm89", 0, 0, 256},          {"blackwell_native_sm120", 0, -3, 256},
      {"turing_sm75", 0, 0, 128},       {"cmp170hx_dp2a_int", 8, 16, 16},
      {"ampere_sm8x", 256, 1024, 1024}, {"ampere_sm8x", 4, 1025, -1},
      {"ampere_sm8x", 257, 64, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.row) + " " + std::to_string(c.values) + " " +
                 std::to_string(c.threads));
    const CoordDumpMetadata meta{c.values, c.threads};
    if (c.expected < 0) {
      EXPECT_THROW(coord_dump_threads(c.row, meta), std::runtime_error);
    } else {
      EXPECT_EQ(coord_dump_threads(c.row, meta), c.expected);
    }
  }
  try {
    coord_dump_threads("ada_sm89", {257, 2000});
    FAIL();
  } catch (const std::runtime_error& e) {
    // The values-per-thread limit is tested first.
    EXPECT_STREQ(e.what(),
                 "dump_headless_coords returned invalid values_per_thread=257 for backend "
                 "ada_sm89 (max supported by host dump is 256)");
  }
  try {
    coord_dump_threads("ada_sm89", {1, 1025});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "dump_headless_coords returned invalid thread count=1025 for backend "
                 "ada_sm89 (max supported by host dump is 1024)");
  }
}

TEST(CoordDump, CandidateIdMergesRowsThirtyTwoApart) {
  EXPECT_EQ(coord_candidate_id(3, 10), coord_candidate_id(35, 60));
  EXPECT_NE(coord_candidate_id(3, 10), coord_candidate_id(4, 10));
  EXPECT_EQ(coord_candidate_id(64, 64), (1u + 2u) * 32u);
}

TEST(CoordDump, ReportOfAnUntouchedDumpHasNoPairs) {
  const std::vector<uint16_t> zeros(128 * 256, 0);
  std::ostringstream out;
  write_coord_dump_report(out, "turing_sm75", 128, 0, zeros, zeros);
  const std::string text = out.str();
  EXPECT_EQ(text.find("backend=turing_sm75 threads=128 values_per_thread=0\n"), 0u);
  EXPECT_NE(text.find("warp=3 coords=0 max_unique_candidates_per_thread=0\n"), std::string::npos);
  EXPECT_EQ(text.find("first="), std::string::npos);
  EXPECT_NE(text.find("\nthread=7\n"), std::string::npos);
  EXPECT_EQ(text.find("thread=8"), std::string::npos);
}

TEST(CoordDump, ReportListsPairsAndCutsLongThreads) {
  // 32 threads; thread t holds (t + v, v) for each value v.
  for (uint32_t values : {64u, 65u}) {
    std::vector<uint16_t> rows(32 * 256, 0);
    std::vector<uint16_t> cols(32 * 256, 0);
    for (int t = 0; t < 32; ++t) {
      for (uint32_t v = 0; v < values; ++v) {
        rows[t * 256 + v] = static_cast<uint16_t>(t + v);
        cols[t * 256 + v] = static_cast<uint16_t>(v);
      }
    }
    std::ostringstream out;
    write_coord_dump_report(out, "ampere_sm8x", 32, values, rows, cols);
    const std::string text = out.str();
    SCOPED_TRACE(text.substr(0, 400));
    const std::string warp = "warp=0 coords=" + std::to_string(32 * values) + " first=0,0 last=" +
                             std::to_string(31 + values - 1) + "," + std::to_string(values - 1);
    EXPECT_NE(text.find(warp), std::string::npos);
    EXPECT_NE(text.find("thread=0 (0,0) (1,1) (2,2)"), std::string::npos);
    EXPECT_EQ(text.find(" ...") != std::string::npos, values == 65);
    EXPECT_NE(text.find(" (63,63)"), std::string::npos);
    EXPECT_EQ(text.find(" (64,64)"), std::string::npos);  // thread 0 lists 64 values at most
  }
}

}  // namespace
