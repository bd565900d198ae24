// The developer-fee window's clock and difficulty rules.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/errors.h"
#include "core/payout_address.h"
#include "engine/dev_fee.h"

TEST(DevFeeWindow, OpensForTheLastTenSecondsOfEveryThousand) {
  const struct {
    double seconds;
    bool open;
  } cases[] = {{0, false},     {989.999, false}, {990.0, true}, {999.999, true},
               {1000.0, false}, {1989.5, false},  {1990.0, true}, {-5.0, false}};
  for (const auto& c : cases) EXPECT_EQ(dev_fee_window_open(c.seconds), c.open) << c.seconds;
}

TEST(DevFeeWindow, FixedDifficultyFollowsTheMeasuredRate) {
  const struct {
    double rate;
    uint32_t difficulty;
  } cases[] = {{100.0, 524288}, {99.99, 262144}, {50.0, 262144},
               {49.99, 131072}, {0.0, 131072},   {std::nan(""), 131072}};
  for (const auto& c : cases) EXPECT_EQ(dev_fee_difficulty(c.rate), c.difficulty) << c.rate;
}

TEST(DevFeeWindow, LoginIsTheBuiltInAddressAndANumberUpTo10000) {
  for (int i = 0; i < 50; ++i) {
    const std::string login = make_dev_fee_login();
    ASSERT_EQ(login.rfind("vex1", 0), 0u) << login;
    const size_t dot = login.rfind('.');
    ASSERT_NE(dot, std::string::npos) << login;
    const int number = std::stoi(login.substr(dot + 1));
    EXPECT_GE(number, 1);
    EXPECT_LE(number, 10000);
  }
}

TEST(DevFeeWindow, BuiltInAddressPassesThePayoutAddressCheck) {
  const std::string login = make_dev_fee_login();
  const std::string address = login.substr(0, login.find('.'));
  EXPECT_EQ(address.size(), 63u) << address;  // version 1 and a 32-byte program
  try {
    check_payout_address(login);
  } catch (const CliUsageError& e) {
    ADD_FAILURE() << e.what();
  }
}
