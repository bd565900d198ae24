#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/cli.h"

extern char** environ;

// Every test starts and ends with no HEADLESS_MINER_* variable set.
class ConfigEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_miner_variables(); }
  void TearDown() override { clear_miner_variables(); }

  static void clear_miner_variables() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("HEADLESS_MINER_", 0) == 0) names.push_back(text.substr(0, text.find('=')));
    }
    for (const std::string& name : names) unsetenv(name.c_str());
  }

  static void set(const char* name, const char* value) { setenv(name, value, 1); }

  // Parses the arguments after the program name.
  static Config parse(std::vector<std::string> args) {
    args.insert(args.begin(), "korvath");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return parse_cli_config(static_cast<int>(args.size()), argv.data());
  }
};

// The exception's text when `call` throws E; fails the test otherwise.
template <typename E, typename F>
std::string thrown_text(F&& call) {
  try {
    call();
  } catch (const E& error) {
    EXPECT_EQ(typeid(error), typeid(E)) << "thrown as a subclass: " << error.what();
    return error.what();
  } catch (const std::exception& other) {
    ADD_FAILURE() << "unexpected exception type: " << other.what();
    return std::string();
  }
  ADD_FAILURE() << "no exception";
  return std::string();
}
