// Every row's dry run of the binary on a hostile host device (shuffled
// schedule, poisoned memory, late copies) mines as it does on a kind one.
// The seed is the environment's HOSTGPU_HOSTILE when set, else a fresh one;
// either way it is printed, so that a failure can be replayed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_binary.h"

namespace {

struct Row {
  const char* force_name;
  const char* device;
  const char* n;
};

const Row kRows[] = {
    {"volta", "7.0,Host V100,4096,80", "256"},
    {"turing", "7.5,Host T4,4096,40", "256"},
    {"ampere", "8.6,Host GPU,4096,8", "256"},
    {"cmp170hx", "8.0,Host CMP 170HX,8192,70", "256"},
    {"cmp170hx-dp2a", "8.6,Host GPU,4096,8", "256"},
    {"cmp170hx-scalar", "8.6,Host GPU,4096,8", "256"},
    {"ada", "8.9,Host L4,4096,58", "256"},
    {"hopper", "9.0,Host H100,4096,132", "256"},
    {"blackwell", "12.0,Host RTX 5090,4096,170", "256"},
    {"blackwell-native", "12.0,Host RTX 5090,4096,170", "256"},
    {"blackwell-b200", "10.0,Host B200,4096,148", "512"},
    {"blackwell-b300", "10.3,Host B300,4096,148", "256"},
};

std::string hostile_seed() {
  const char* given = std::getenv("HOSTGPU_HOSTILE");
  if (given != nullptr && *given != '\0') return given;
  static const std::string fresh = std::to_string(std::random_device{}() % 1000000000u);
  return fresh;
}

// What a run mined: its status lines without their rates.
std::vector<std::string> mined(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) {
    const size_t at = line.find("status attempts=");
    if (at == std::string::npos) continue;
    lines.push_back(line.substr(at, line.find(" hashrate_th_s=") - at));
  }
  return lines;
}

class HostileDryRunTest : public ::testing::TestWithParam<Row> {};

TEST_P(HostileDryRunTest, MinesAsOnAKindDevice) {
  const Row& row = GetParam();
  const std::vector<std::string> args{"--dry-run", "--max-attempts", "2", "--status-interval", "1",
                                      "--m",        "256",           "--n", row.n, "--k", "256",
                                      "--rank",     "128",           "--force-backend", row.force_name};
  const std::string seed = hostile_seed();
  std::cerr << "hostile dry run of " << row.force_name << " with HOSTGPU_HOSTILE=" << seed << "\n";
  const BinaryRun kind = run_korvath(args, {{"HOSTGPU_DEVICES", row.device}, {"NO_COLOR", "1"}});
  const BinaryRun hostile =
      run_korvath(args, {{"HOSTGPU_DEVICES", row.device}, {"NO_COLOR", "1"}, {"HOSTGPU_HOSTILE", seed}});
  ASSERT_EQ(kind.status, 0) << kind.err;
  ASSERT_EQ(hostile.status, 0) << "HOSTGPU_HOSTILE=" << seed << "\n" << hostile.err;
  EXPECT_EQ(hostile.err.find("kernel fault"), std::string::npos) << hostile.err;
  EXPECT_NE(hostile.err.find("seed " + seed), std::string::npos) << hostile.err;
  EXPECT_EQ(mined(hostile.out), mined(kind.out)) << "HOSTGPU_HOSTILE=" << seed << "\n" << hostile.out;
  EXPECT_EQ(mined(kind.out).size(), 2u) << kind.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileDryRunTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           std::string name = info.param.force_name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
