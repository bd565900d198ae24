#include <string>

#include "core/errors.h"
#include "core/payout_address.h"
#include "env_fixture.h"

namespace {

// Output of make_address_vectors.py (reference bech32/bech32m encoder).
constexpr char kValidA[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0ska30ux";
constexpr char kValidB[] = "vex1ppvc9275lcn5suv6c0k3v0mq3xedcpfw2au2rjh5r4rxly9euvxrqaercgl";
constexpr char kValidUpper[] = "VEX1PQQQSYQCYQ5RQWZQFPG9SCRGWPUGPZYSNZS23V9CCRYDPK8QARC0SKA30UX";
constexpr char kBech32Checksum[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0srpprey";
constexpr char kChangedDataChar[] = "vex1pqqqsyqcyq5rqwzq2pg9scrgwpugpzysnzs23v9ccrydpk8qarc0ska30ux";
constexpr char kVersion0[] = "vex1qqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0sfkp2pc";
constexpr char kProgram20[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysn4qcc5r";
constexpr char kProgram33[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0sq6wxrwu";
constexpr char kOtherPrefix[] = "tvx1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc0sxh26s8";
constexpr char kNonZeroPadding[] = "vex1pqqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccrydpk8qarc03tt96p5";
constexpr char kTooManyPadBits[] = "vex1pqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq9d2f7d";
constexpr char kNoWitnessData[] = "vex1s7w7hk";

TEST(PayoutAddress, AcceptsVersionOneThirtyTwoByteBech32m) {
  const std::string valid_a = kValidA;
  EXPECT_EQ(valid_a.size(), 63u);
  for (const std::string& address :
       {valid_a, std::string(kValidB), std::string(kValidUpper), valid_a + ".rig-01",
        valid_a + ".", valid_a + ". \x01 any..thing", std::string(kValidUpper) + ".Worker"}) {
    EXPECT_NO_THROW(check_payout_address(address)) << address;
  }
}

TEST(PayoutAddress, NamesTheFirstFailedRule) {
  const std::string a = kValidA;
  std::string mixed = a;
  mixed[0] = 'V';
  std::string bad_char = a;
  bad_char[10] = 'b';
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "address is empty"},
      {".worker", "address is empty"},
      {"vex1" + std::string(87, 'q'), "address is longer than 90 characters"},
      {"vex1" + std::string(87, 'B'), "address is longer than 90 characters"},
      {"vex1 qqqqqqq", "address contains a non-printable character"},
      {"vex1qqq\x7fqqq", "address contains a non-printable character"},
      {mixed, "bech32 address mixes uppercase and lowercase characters"},
      {"vexqqqqqqqqq", "bech32 separator '1' is missing"},
      {"1qqqqqqqqq", "bech32 human-readable prefix is empty"},
      {"vex1qqqqq", "bech32 data/checksum is too short"},
      {kOtherPrefix, "Vexal addresses must start with 'vex'"},
      {bad_char, "address contains a character outside the bech32 alphabet"},
      {"vex1qqqqiqqq", "address contains a character outside the bech32 alphabet"},
      {"vex1qqqqoqqq", "address contains a character outside the bech32 alphabet"},
      {kBech32Checksum, "bech32m checksum is invalid"},
      {kChangedDataChar, "bech32m checksum is invalid"},
      {kNoWitnessData, "witness data is empty"},
      {kVersion0, "Vexal address must be witness version 1"},
      {kNonZeroPadding, "witness program has invalid padding"},
      {kTooManyPadBits, "witness program has invalid padding"},
      {kProgram20, "Vexal witness program must be 32 bytes"},
      {kProgram33, "Vexal witness program must be 32 bytes"},
  };
  for (const auto& [address, reason] : cases) {
    EXPECT_EQ(thrown_text<CliUsageError>([&] { check_payout_address(address); }),
              "invalid Vexal address '" + address + "': " + reason)
        << address;
  }
}

TEST(PayoutAddress, MessageQuotesTheWholeTextWithItsWorker) {
  const std::string address = std::string(kVersion0) + ".rig";
  EXPECT_EQ(thrown_text<CliUsageError>([&] { check_payout_address(address); }),
            "invalid Vexal address '" + address + "': Vexal address must be witness version 1");
}

}  // namespace
