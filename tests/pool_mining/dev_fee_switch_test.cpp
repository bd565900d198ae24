// run_miner against a scripted pool while the developer-fee window's clock is
// moved from the pool's script: the login switches to the fee account and
// back between attempts, in the serial loop and the pool pipeline, and a fee
// login that fails gives the window up without stopping the user's mining.
#include <gtest/gtest.h>

#include <hostgpu/inspect.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/codecs.h"
#include "core/config.h"
#include "engine/dev_fee.h"
#include "engine/run_miner.h"
#include "scripted_pool.h"
#include "submitted_proof.h"

namespace {

const char kUserLogin[] = "vex1ppvc9275lcn5suv6c0k3v0mq3xedcpfw2au2rjh5r4rxly9euvxrqaercgl.rig0";
// Every digest meets this share target at 256^3 rank 64: each attempt sends a share.
const char kAnyDigest[] = "2100ffff";
constexpr int kLineTimeoutMs = 60000;
constexpr int64_t kSecond = 1'000'000'000;
const char kUserHeader[] = "00112233";
const char kFeeHeader[] = "44556677";
const char kBackHeader[] = "8899aabb";

struct LoopCase {
  const char* name;
  const char* devices;
  const char* backend;  // forced row; empty: the one the device selects
  bool sync;
  int attempts;
};

// A fused row mines through the serial loop, the ampere row through the pool pipeline.
const std::vector<LoopCase>& loop_cases() {
  static const std::vector<LoopCase> cases = {
      {"serial loop, sync submit", "8.6,Host GPU,1024,8", "cmp170hx-dp2a", true, 4},
      {"serial loop, async submit", "8.6,Host GPU,1024,8", "cmp170hx-dp2a", false, 14},
      {"pool pipeline, sync submit", "8.6,Host RTX 3090,1024,82", "", true, 4},
      {"pool pipeline, async submit", "8.6,Host RTX 3090,1024,82", "", false, 14},
  };
  return cases;
}

// The quoted strings of a request's "params" array, in order.
std::vector<std::string> params_of(const std::string& line) {
  std::vector<std::string> out;
  size_t at = line.find("\"params\":[");
  if (at == std::string::npos) return out;
  at += 10;
  while (at < line.size() && line[at] == '"') {
    const size_t end = line.find('"', at + 1);
    if (end == std::string::npos) break;
    out.push_back(line.substr(at + 1, end - at - 1));
    at = end + 1;
    if (at < line.size() && line[at] == ',') ++at;
  }
  return out;
}

int32_t id_of(const std::string& line) {
  if (line.rfind("{\"id\":", 0) != 0) throw std::runtime_error("no request id: " + line);
  return std::stoi(line.substr(6));
}

// Reads the next request and checks its method.
std::string expect_request(PeerLink& link, const std::string& method) {
  const std::string line = link.read_line(kLineTimeoutMs);
  if (line.find("\"method\":\"" + method + "\"") == std::string::npos) {
    throw std::runtime_error("expected " + method + ", got: " + line.substr(0, 200));
  }
  return line;
}

struct Login {
  std::string login;
  std::string password;
};

// The pool's side of a handshake, whatever the login; a refused login gets
// an error reply to mining.authorize and nothing more.
Login serve_login(PeerLink& link, const std::string& job_id, const std::string& header, bool refuse) {
  link.send_line(kGreeting);
  std::string line = expect_request(link, "mining.configure");
  link.send_line(ok_reply(id_of(line), "{\"vexal/v1\":true}"));
  line = expect_request(link, "mining.subscribe");
  link.send_line(ok_reply(id_of(line), "[[],\"00\",4]"));
  line = expect_request(link, "mining.authorize");
  const std::vector<std::string> params = params_of(line);
  if (params.size() != 2) throw std::runtime_error("authorize params: " + line);
  if (refuse) {
    link.send_line("{\"id\":" + std::to_string(id_of(line)) +
                   ",\"result\":null,\"error\":[24,\"unauthorized worker\",null]}");
    return {params[0], params[1]};
  }
  link.send_line(ok_reply(id_of(line)));
  link.send_line(mining_params_line(256, 256, 256, 64));
  link.send_line(notify_line("\"" + job_id + "\"", kAnyDigest, true, header));
  return {params[0], params[1]};
}

struct Share {
  std::string login;
  std::string job_id;
  std::string proof_fault;  // empty when the proof verifies for the header
};

// Answers every share until the miner closes the link. `before_first_reply`
// runs once, while the first share waits for its reply.
std::vector<Share> answer_until_closed(PeerLink& link, const std::string& header,
                                       const std::function<void()>& before_first_reply) {
  std::vector<Share> shares;
  for (;;) {
    std::string line;
    try {
      line = link.read_line(kLineTimeoutMs);
    } catch (const std::runtime_error& e) {
      if (std::string(e.what()).rfind("miner closed the connection", 0) == 0) return shares;
      throw;
    }
    if (line.find("\"method\":\"mining.submit\"") == std::string::npos) {
      throw std::runtime_error("expected mining.submit, got: " + line.substr(0, 200));
    }
    const std::vector<std::string> params = params_of(line);
    if (params.size() != 3) throw std::runtime_error("submit params: " + line.substr(0, 200));
    shares.push_back({params[0], params[1],
                      check_submitted_proof(params[2], ProofShape{}, hex_decode(header))});
    if (shares.size() == 1 && before_first_reply) before_first_reply();
    link.send_line(ok_reply(id_of(line)));
  }
}

void expect_shares(const std::vector<Share>& shares, const std::string& login,
                   const std::string& job_id) {
  EXPECT_FALSE(shares.empty()) << job_id;
  for (const Share& s : shares) {
    EXPECT_EQ(s.login, login) << job_id;
    EXPECT_EQ(s.job_id, job_id);
    EXPECT_EQ(s.proof_fault, "") << job_id;
  }
}

void move_window_clock(int64_t seconds) { set_dev_fee_clock_offset_ns(seconds * kSecond); }

int count(const std::string& text, const std::string& piece) {
  int found = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
  return found;
}

class DevFeeSwitch : public ::testing::Test {
 protected:
  void SetUp() override { move_window_clock(0); }
  void TearDown() override {
    move_window_clock(0);
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }

  static Config pool_run(const ScriptedPool& pool, const LoopCase& c) {
    setenv("HOSTGPU_DEVICES", c.devices, 1);
    setenv("HOSTGPU_STREAMS", "eager", 1);
    hostgpu::inspect::reinitialise();
    Config config = pool_test_config(pool.port());
    config.pool_configured = true;
    config.force_backend = c.backend;
    config.m = 256;
    config.n = 256;
    config.k = 256;
    config.rank = 64;
    config.login = kUserLogin;
    config.password = "x";
    config.max_attempts = c.attempts;
    config.sync_proof_submit = c.sync;
    return config;
  }
};

// The built-in address part of every fee login.
std::string fee_address() {
  const std::string login = make_dev_fee_login();
  return login.substr(0, login.find('.') + 1);
}

}  // namespace

// The window opens while the first share waits for its reply and closes while
// the first fee share does: the shares before go out under the user's login,
// those in the window under the fee login for the fee connection's job, and
// the rest under the user's login again for the job of the third connection.
TEST_F(DevFeeSwitch, LoginSwitchesToTheFeeAccountAndBackBetweenAttempts) {
  for (const LoopCase& c : loop_cases()) {
    SCOPED_TRACE(c.name);
    move_window_clock(0);
    Login user, fee, back;
    std::vector<Share> before, inside, after;
    ScriptedPool pool;
    pool.run([&](ScriptedPool& p) {
      auto link = p.accept(kLineTimeoutMs);
      user = serve_login(*link, "user-1", kUserHeader, false);
      before = answer_until_closed(*link, kUserHeader, [] { move_window_clock(990); });
      link = p.accept(kLineTimeoutMs);
      fee = serve_login(*link, "fee-1", kFeeHeader, false);
      inside = answer_until_closed(*link, kFeeHeader, [] { move_window_clock(1000); });
      link = p.accept(kLineTimeoutMs);
      back = serve_login(*link, "user-2", kBackHeader, false);
      after = answer_until_closed(*link, kBackHeader, nullptr);
    });
    LogCapture log;
    const int status = run_miner(pool_run(pool, c), 0, 0, 1);
    pool.join();
    log.finish();
    ASSERT_EQ(status, 0) << log.out << log.err;

    EXPECT_EQ(user.login, kUserLogin);
    EXPECT_EQ(user.password, "x");
    EXPECT_EQ(fee.login.rfind(fee_address(), 0), 0u) << fee.login;
    EXPECT_EQ(fee.password, "x;d=131072");  // the host device is far below 50 TMAC/s
    EXPECT_EQ(back.login, kUserLogin);
    EXPECT_EQ(back.password, "x");
    expect_shares(before, kUserLogin, "user-1");
    expect_shares(inside, fee.login, "fee-1");
    expect_shares(after, kUserLogin, "user-2");
    EXPECT_EQ(static_cast<int>(before.size() + inside.size() + after.size()), c.attempts);
    EXPECT_EQ(count(log.out, "component=pool dev_fee started worker=\"" + fee.login +
                                 "\" fixed_diff=131072 measured_tmac_s="),
              1)
        << log.out;
    EXPECT_EQ(count(log.out, std::string("component=pool dev_fee ended worker=\"") + kUserLogin +
                                 "\"\n"),
              1)
        << log.out;
    EXPECT_EQ(log.err.find("level=ERROR"), std::string::npos) << log.err;
  }
}

// A fee login the pool refuses, or that cannot connect, ends the window at
// once: one WARN line, the user's login back, and every later attempt mined
// for the user while the window is still open.
TEST_F(DevFeeSwitch, AFailedFeeLoginGivesTheWindowUpAndRestoresTheUsersLogin) {
  struct FailureCase {
    const char* name;
    LoopCase loop;
    int closed_tries;  // fee tries the pool hangs up on before any request
    bool refuse;       // then: a try whose authorize is refused
    const char* error;
  };
  const FailureCase cases[] = {
      {"refused, pool pipeline", {"", "8.6,Host RTX 3090,1024,82", "", true, 4}, 0, true,
       "pool refused the login"},
      {"refused, serial loop", {"", "8.6,Host GPU,1024,8", "cmp170hx-dp2a", false, 8}, 0, true,
       "pool refused the login"},
      {"unreachable, serial loop", {"", "8.6,Host GPU,1024,8", "cmp170hx-dp2a", true, 4}, 3, false,
       "stratum connection closed by peer"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    move_window_clock(0);
    Login user, refused, back;
    std::vector<Share> before, after;
    ScriptedPool pool;
    pool.run([&](ScriptedPool& p) {
      auto link = p.accept(kLineTimeoutMs);
      user = serve_login(*link, "user-1", kUserHeader, false);
      before = answer_until_closed(*link, kUserHeader, [] { move_window_clock(990); });
      for (int i = 0; i < c.closed_tries; ++i) p.accept(kLineTimeoutMs)->close();
      if (c.refuse) {
        link = p.accept(kLineTimeoutMs);
        refused = serve_login(*link, "fee-1", kFeeHeader, true);
        EXPECT_TRUE(link->closed_by_miner(kLineTimeoutMs));
      }
      link = p.accept(kLineTimeoutMs);
      back = serve_login(*link, "user-2", kBackHeader, false);
      after = answer_until_closed(*link, kBackHeader, nullptr);
    });
    LogCapture log;
    const int status = run_miner(pool_run(pool, c.loop), 0, 0, 1);
    pool.join();
    log.finish();
    ASSERT_EQ(status, 0) << log.out << log.err;

    if (c.refuse) EXPECT_EQ(refused.login.rfind(fee_address(), 0), 0u) << refused.login;
    EXPECT_EQ(back.login, kUserLogin);
    EXPECT_EQ(back.password, "x");
    expect_shares(before, kUserLogin, "user-1");
    expect_shares(after, kUserLogin, "user-2");
    EXPECT_EQ(static_cast<int>(before.size() + after.size()), c.loop.attempts);
    EXPECT_EQ(count(log.err, "component=pool dev_fee aborted error=\""), 1) << log.err;
    EXPECT_NE(log.err.find(c.error), std::string::npos) << log.err;
    EXPECT_NE(log.err.find(std::string("action=restore_user_login worker=\"") + kUserLogin + "\"\n"),
              std::string::npos)
        << log.err;
    EXPECT_EQ(log.out.find("dev_fee started"), std::string::npos) << log.out;
    EXPECT_EQ(log.err.find("level=ERROR"), std::string::npos) << log.err;
  }
}
