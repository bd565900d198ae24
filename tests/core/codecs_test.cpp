#include "core/codecs.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(CodecsTest, Base64Rfc4648Vectors) {
  const struct {
    const char* input;
    const char* encoded;
  } cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) EXPECT_EQ(base64_encode(bytes_of(c.input)), c.encoded) << c.input;
}

TEST(CodecsTest, Base64UsesPlusAndSlash) {
  EXPECT_EQ(base64_encode({0xfb, 0xff, 0xbf}), "+/+/");
  EXPECT_EQ(base64_encode({0x00, 0x00, 0x00, 0xff}), "AAAA/w==");
}

TEST(CodecsTest, HexDecodeAcceptsEitherCase) {
  const std::vector<uint8_t> expected{0x00, 0xab, 0xcd, 0xef, 0x19};
  EXPECT_EQ(hex_decode("00abcdef19"), expected);
  EXPECT_EQ(hex_decode("00ABCDEF19"), expected);
  EXPECT_EQ(hex_decode("00aBcDeF19"), expected);
  EXPECT_TRUE(hex_decode("").empty());
}

TEST(CodecsTest, HexDecodeErrors) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"abc", "hex data has odd length"},
      {"zz!", "hex data has odd length"},  // length is checked first
      {"0g", "invalid hex data"},
      {"g0", "invalid hex data"},
      {"00 1", "invalid hex data"},
      {"0x00", "invalid hex data"},
      {"+1", "invalid hex data"},
  };
  for (const auto& c : cases) {
    try {
      hex_decode(c.text);
      ADD_FAILURE() << "no error for \"" << c.text << "\"";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.error) << c.text;
    }
  }
}

TEST(CodecsTest, Hex32IsLowercaseAndZeroPadded) {
  std::array<uint8_t, 32> bytes{};
  EXPECT_EQ(hex32(bytes.data()), std::string(64, '0'));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 8 + 3);
  bytes[0] = 0xAB;
  const std::string text = hex32(bytes.data());
  EXPECT_EQ(text.substr(0, 8), "ab0b131b");
  EXPECT_EQ(text.substr(56), "e3ebf3fb");
  EXPECT_EQ(hex_decode(text), std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

TEST(CodecsTest, FixedDecimals) {
  const struct {
    double value;
    int decimals;
    const char* text;
  } cases[] = {
      {2.0, 2, "2.00"},        {-0.5, 2, "-0.50"},        {1234567.891, 2, "1234567.89"},
      {0.125, 2, "0.12"},      {0.375, 2, "0.38"},         {1e20, 2, "100000000000000000000.00"},
      {1.23456, 4, "1.2346"},  {0.0, 4, "0.0000"},        {2.5, 0, "2"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_fixed(c.value, c.decimals), c.text) << c.value;
  EXPECT_EQ(format_fixed2(3.14159), "3.14");
}

}  // namespace
