#include <stdexcept>

#include "core/errors.h"
#include "core/pool_endpoints.h"
#include "env_fixture.h"

namespace {

TEST(TrimWhitespace, DropsOnlyOuterSpace) {
  EXPECT_EQ(trim_whitespace(" \t a b \n"), "a b");
  EXPECT_EQ(trim_whitespace("   "), "");
  EXPECT_EQ(trim_whitespace(""), "");
}

TEST(ParsePort, AcceptsDigitsInRange) {
  EXPECT_EQ(parse_port("1", "--p"), 1);
  EXPECT_EQ(parse_port("65535", "--p"), 65535);
  EXPECT_EQ(parse_port("00080", "--p"), 80);
  const std::vector<std::pair<const char*, const char*>> refused = {
      {"", "--p has an empty port"},
      {"abc", "--p has a non-numeric port: abc"},
      {"+80", "--p has a non-numeric port: +80"},
      {"-1", "--p has a non-numeric port: -1"},
      {" 80", "--p has a non-numeric port:  80"},
      {"0", "--p port must be between 1 and 65535"},
      {"65536", "--p port must be between 1 and 65535"},
  };
  for (const auto& [text, message] : refused) {
    EXPECT_EQ(thrown_text<CliUsageError>([&] { parse_port(text, "--p"); }), message) << text;
  }
  EXPECT_EQ(thrown_text<std::out_of_range>([] { parse_port("2147483648", "--p"); }), "stoi");
}

struct EndpointCase {
  const char* text;
  const char* host;
  int32_t port;
};

TEST(ParsePoolEndpoint, AcceptedForms) {
  const EndpointCase cases[] = {
      {"h", "h", 3333},
      {"  pool.example:4444 ", "pool.example", 4444},
      {"stratum+tcp://h:4444/", "h", 4444},
      {"tcp://h:4444///", "h", 4444},
      {"h:", "h", 3333},
      {"[::1]:3334", "::1", 3334},
      {"[::1]", "::1", 3333},
      {"[::1]:", "::1", 3333},
      {"stratum+tcp://[fe80::1]:5", "fe80::1", 5},
      {"::1", "::1", 3333},
      {"fe80::1:3334", "fe80::1:3334", 3333},
      {"10.0.0.1:65535", "10.0.0.1", 65535},
  };
  for (const EndpointCase& c : cases) {
    const Endpoint endpoint = parse_pool_endpoint(c.text, 3333, false, "--pool");
    EXPECT_EQ(endpoint.host, c.host) << c.text;
    EXPECT_EQ(endpoint.port, c.port) << c.text;
  }
}

TEST(ParsePoolEndpoint, ExplicitPortIgnoresTheTextsPortUnexamined) {
  for (const char* text : {"h:abc", "h:0", "h:4444", "[::1]:x"}) {
    const Endpoint endpoint = parse_pool_endpoint(text, 7000, true, "--pool");
    EXPECT_EQ(endpoint.port, 7000) << text;
  }
  // Syntax is still checked.
  EXPECT_THROW(parse_pool_endpoint("[::1]x", 7000, true, "--pool"), CliUsageError);
}

TEST(ParsePoolEndpoint, RefusedForms) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"STRATUM+TCP://h:1", "unsupported Stratum scheme 'STRATUM+TCP'; expected stratum+tcp://host:port"},
      {"://h", "unsupported Stratum scheme ''; expected stratum+tcp://host:port"},
      {"http://h", "unsupported Stratum scheme 'http'; expected stratum+tcp://host:port"},
      {"tcp://", "--name did not include a host"},
      {"tcp:////", "--name did not include a host"},
      {"   ", "--name did not include a host"},
      {":3333", "--name did not include a host"},
      {"[]", "--name did not include a host"},
      {"h/path", "--name must not include a URL path"},
      {"stratum+tcp://h:1/x/", "--name must not include a URL path"},
      {"[::1", "--name has an unterminated IPv6 bracket"},
      {"[::1]x", "--name has invalid IPv6 host syntax"},
      {"h:0", "--name port must be between 1 and 65535"},
      {"h:65536", "--name port must be between 1 and 65535"},
      {"h:abc", "--name has a non-numeric port: abc"},
      {"h:+80", "--name has a non-numeric port: +80"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(thrown_text<CliUsageError>([&] { parse_pool_endpoint(text, 3333, false, "--name"); }),
              message)
        << text;
  }
  EXPECT_EQ(thrown_text<std::out_of_range>(
                [] { parse_pool_endpoint("h:99999999999", 3333, false, "--pool"); }),
            "stoi");
}

}  // namespace
