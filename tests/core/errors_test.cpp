#include "core/errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

template <typename Thrown>
bool caught_as_cli_usage_error() {
  try {
    throw Thrown("x");
  } catch (const CliUsageError&) {
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

template <typename Thrown>
std::string caught_as_runtime_error() {
  try {
    throw Thrown("Stratum error response: {\"id\":4}");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(ErrorsTest, RuntimeErrorCatchesAllAndKeepsTheText) {
  const std::string text = "Stratum error response: {\"id\":4}";
  EXPECT_EQ(caught_as_runtime_error<CliUsageError>(), text);
  EXPECT_EQ(caught_as_runtime_error<StratumConnectionError>(), text);
  EXPECT_EQ(caught_as_runtime_error<StratumResponseError>(), text);
}

TEST(ErrorsTest, CliUsageErrorCatchesOnlyItself) {
  EXPECT_TRUE(caught_as_cli_usage_error<CliUsageError>());
  EXPECT_FALSE(caught_as_cli_usage_error<StratumConnectionError>());
  EXPECT_FALSE(caught_as_cli_usage_error<StratumResponseError>());
}

}  // namespace
