// The proof self-test and the two proof benchmarks, run through the binary.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/config.h"
#include "proof/plain_proof.h"
#include "proof/proof_bench_inputs.h"
#include "proof/proof_hash.h"
#include "proof_verifier.h"
#include "run_binary.h"

namespace {

const std::pair<std::string, std::string> kHostDevice{"HOSTGPU_DEVICES", "8.6,Host GPU,4096,8"};

std::string field(const std::string& line, const std::string& name) {
  const std::regex pattern(" " + name + "=([^ \n]*)");
  std::smatch match;
  return std::regex_search(line, match, pattern) ? match[1].str() : "(missing)";
}

// The output line that starts with the prefix (log lines may come before it).
std::string line_starting(const std::string& out, const std::string& prefix) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return "(no line " + prefix + ")";
}

ExpectedProof self_test_expectation() {
  ExpectedProof expected;
  expected.m = 2;
  expected.n = 2;
  expected.k = 1024;
  expected.rank = 32;
  expected.rows = {0};
  expected.cols = {1};
  expected.key = self_test_key();
  return expected;
}

TEST(ProofSelfTestTest, PrintsAProofWhoseRootsAndOpeningsVerify) {
  const BinaryRun run = run_korvath({"--proof-self-test"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line: " << run.out;
  const std::vector<uint8_t> proof = base64_decode(run.out);
  // Shape, then two openings of one leaf, one sibling and one index each.
  ASSERT_EQ(proof.size(), 32u + 2 * (72 + 1040 + 32 + 8));

  VerifiedProof roots;
  ASSERT_EQ(verify_plain_proof(proof, self_test_expectation(), &roots), "");
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, 2048);
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, 2048);
  EXPECT_EQ(roots.a_root, keyed_hash_zero_padded(a, self_test_key()));
  EXPECT_EQ(roots.b_root, keyed_hash_zero_padded(b, self_test_key()));

  // Shape options change nothing.
  EXPECT_EQ(run_korvath({"--m", "64", "--proof-self-test", "--k", "8"}).out, run.out);
}

TEST(ProofSelfTestTest, ATamperedByteAnywhereInAnOpeningFailsVerification) {
  const std::vector<uint8_t> proof = base64_decode(run_korvath({"--proof-self-test"}).out);
  ASSERT_EQ(verify_plain_proof(proof, self_test_expectation()), "");
  for (size_t at = 32; at < proof.size(); ++at) {
    std::vector<uint8_t> tampered = proof;
    tampered[at] ^= 0x20;
    ASSERT_NE(verify_plain_proof(tampered, self_test_expectation()), "") << "byte " << at;
  }
}

TEST(ProofBenchTest, ReportsTheProofOfTheConfiguredShape) {
  const BinaryRun run = run_korvath({"--proof-bench", "--m", "40", "--n", "64", "--k", "1000"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::string allocating, report;
  std::getline(lines, allocating);
  std::getline(lines, report);
  std::ostringstream gib;
  gib << (40.0 * 1000 + 64.0 * 1000) / (1024.0 * 1024 * 1024);
  EXPECT_EQ(allocating, "proof_bench allocating A+B host matrices: " + gib.str() + " GiB");

  Config shape;
  shape.m = 40;
  shape.n = 64;
  shape.k = 1000;
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, 40000);
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, 64000);
  const std::array<uint8_t, 32> key = bench_key();
  const std::vector<uint8_t> proof =
      build_plain_proof(a.data(), a.data() + a.size(), b, bench_opened_rows_cols(), key.data(), shape);
  const std::array<uint8_t, 32> hash = proof_bytes_hash(proof);
  EXPECT_EQ(report.rfind("proof_bench raw_bytes=" + std::to_string(proof.size()) + " ", 0), 0u) << report;
  EXPECT_EQ(field(report, "proof_hash"), to_hex(hash.data(), 32));
  const Hash32 a_root = keyed_hash_zero_padded(a, key);
  const Hash32 b_root = keyed_hash_zero_padded(b, key);
  EXPECT_EQ(field(report, "a_root"), to_hex(a_root.data(), 32));
  EXPECT_EQ(field(report, "b_root"), to_hex(b_root.data(), 32));
  EXPECT_TRUE(std::regex_match(field(report, "build_seconds"), std::regex("[0-9.e+-]+")));
  EXPECT_TRUE(std::regex_match(report, std::regex(".* maxrss_kb=[0-9]+")));
}

TEST(ProofBenchTest, DefaultShapeHashesBothFullTrees) {
  // 1 GiB of host matrices: the one run of the default shape.
  const BinaryRun run = run_korvath({"--proof-bench"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("proof_bench allocating A+B host matrices: 1 GiB\nproof_bench raw_bytes=276288 ", 0),
            0u)
      << run.out;
}

TEST(ProofBenchTest, ShapesTheBenchmarksCannotOpenAreRefusedBeforeAllocating) {
  const std::vector<std::vector<std::string>> shapes = {
      {"--m", "32"}, {"--n", "63"}, {"--k", "0"}, {"--m", "-5"}};
  for (const char* mode : {"--proof-bench", "--gpu-proof-bench"}) {
    for (const std::vector<std::string>& shape : shapes) {
      std::vector<std::string> args{mode};
      args.insert(args.end(), shape.begin(), shape.end());
      const BinaryRun run = run_korvath(args, {kHostDevice});
      SCOPED_TRACE(std::string(mode) + " " + shape[0] + " " + shape[1]);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_NE(run.err.find("needs m >= 33, n >= 64 and k >= 1"), std::string::npos) << run.err;
    }
  }
}

TEST(GpuProofBenchTest, GpuAndCpuProofsAreEqualOnTheHostDevice) {
  struct BenchCase {
    std::vector<std::string> args;
    const char* streams;
  };
  // k = 100 leaves a short last chunk in both matrices.
  const BenchCase cases[] = {
      {{"--m", "40", "--n", "64", "--k", "1024"}, "eager"},
      {{"--m", "33", "--n", "64", "--k", "100", "--rank", "4"}, "deferred"},
  };
  for (const BenchCase& c : cases) {
    std::vector<std::string> args{"--gpu-proof-bench"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const BinaryRun run = run_korvath(args, {kHostDevice, {"HOSTGPU_STREAMS", c.streams}});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string report = line_starting(run.out, "gpu_proof_bench ");
    EXPECT_EQ(line_starting(run.out, "mining_backend="), "mining_backend=ampere_sm8x");
    EXPECT_LT(run.out.find("mining_backend="), run.out.find("gpu_proof_bench "));
    EXPECT_EQ(field(report, "bytes_match"), "true") << report;
    EXPECT_EQ(field(report, "first_mismatch"), "0");
    EXPECT_EQ(field(report, "raw_bytes"), field(report, "cpu_raw_bytes"));
    EXPECT_EQ(field(report, "cpu_proof_hash"), field(report, "gpu_proof_hash"));
  }
}

TEST(GpuProofBenchTest, ATemplateBeyondTheProofBufferIsRefused) {
  const BinaryRun run = run_korvath({"--gpu-proof-bench", "--m", "33", "--n", "64", "--k", "65536"},
                                    {kHostDevice});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(line_starting(run.out, "mining_backend="), "mining_backend=ampere_sm8x");
  EXPECT_EQ(run.out.find("gpu_proof_bench "), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("GPU proof buffer is too small"), std::string::npos) << run.err;
}

}  // namespace
