#include "core/job_key.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/codecs.h"

namespace {

std::string job_key_hex(const std::vector<uint8_t>& header, uint32_t k, int32_t rank,
                        const JobKeyPatternPair& patterns) {
  std::array<uint8_t, 32> key{};
  derive_job_key(key.data(), header, k, rank, patterns.first, patterns.second);
  return hex32(key.data());
}

std::vector<uint8_t> iota_header(size_t length, int mul, int add) {
  std::vector<uint8_t> header(length);
  for (size_t i = 0; i < length; ++i) header[i] = static_cast<uint8_t>(i * mul + add);
  return header;
}

// Expected keys computed with b3sum over header || k (u32 LE) || rank (u16 LE)
// || 00 00 || first pattern || second pattern || 32 zero bytes.
TEST(JobKeyTest, MatchesB3sumOfHeaderAndBlock) {
  const std::vector<uint8_t> h80 = iota_header(80, 1, 0);
  const std::vector<uint8_t> h1500 = iota_header(1500, 31, 7);  // spans two chunks
  const struct {
    std::vector<uint8_t> header;
    uint32_t k;
    int32_t rank;
    const JobKeyPatternPair& patterns;
    const char* expected;
  } cases[] = {
      {{}, 4096, 128, kDefaultJobKeyPatterns,
       "c1af37ad9efdf0820aa564d52814d25066da0e078e8bb01da6829ae43a816264"},
      {h80, 4096, 128, kDefaultJobKeyPatterns,
       "0f88e49f71cdbefaa7724d283de095a212ad9115c5a00cfd6d874dc347a98877"},
      {h80, 4096, 128, kHopperSm90JobKeyPatterns,
       "0be91c8cd760730399c218b7666722f99fa62cda6c012538f896befac7599213"},
      {h1500, 8192, 256, kHopperSm90JobKeyPatterns,
       "243339dcdbbccf0f2828d5cb95a5786762da52e9289d44e021782bc56b338f18"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(job_key_hex(c.header, c.k, c.rank, c.patterns), c.expected) << c.header.size();
  }
}

TEST(JobKeyTest, EveryInputChangesTheKey) {
  const std::vector<uint8_t> header = iota_header(80, 1, 0);
  std::vector<uint8_t> changed_header = header;
  changed_header[79] ^= 1;
  JobKeyPatternPair first_changed = kDefaultJobKeyPatterns;
  first_changed.first[5] = 1;
  JobKeyPatternPair second_changed = kDefaultJobKeyPatterns;
  second_changed.second[5] = 1;

  const std::set<std::string> keys{
      job_key_hex(header, 4096, 128, kDefaultJobKeyPatterns),
      job_key_hex(changed_header, 4096, 128, kDefaultJobKeyPatterns),
      job_key_hex(header, 4097, 128, kDefaultJobKeyPatterns),
      job_key_hex(header, 4096, 129, kDefaultJobKeyPatterns),
      job_key_hex(header, 4096, 128, kHopperSm90JobKeyPatterns),
      job_key_hex(header, 4096, 128, first_changed),
      job_key_hex(header, 4096, 128, second_changed),
  };
  EXPECT_EQ(keys.size(), 7u);
}

TEST(JobKeyTest, RankEntersWithItsLow16BitsOnly) {
  const std::vector<uint8_t> header = iota_header(80, 1, 0);
  EXPECT_EQ(job_key_hex(header, 4096, 65536 + 128, kDefaultJobKeyPatterns),
            job_key_hex(header, 4096, 128, kDefaultJobKeyPatterns));
}

}  // namespace
