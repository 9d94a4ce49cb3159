#include "cloud/connection_test_interpretation.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

TEST(ConnectionTest, TheFirstMatchingRuleExplainsTheFailure) {
  const ConnectionTarget nas{ConnectionKind::kSftp, "nas.example", "2222", "alice"};
  struct Case {
    const char* raw;
    const char* opening;  // empty: no rule matches
  } cases[] = {
      {"ssh: handshake failed: knownhosts: key mismatch; HOST KEY for nas changed",
       "The SSH host key for this server has changed since it was first trusted."},
      // Host key beats the sign-in rule though both words appear.
      {"host key mismatch ... permission denied", "The SSH host key for this server"},
      {"dial tcp 10.0.0.9:2222: connect: connection refused",
       "Nothing's listening on 10.0.0.9:2222. Brimvale is configured to connect on port 2222;"},
      {"550 Permission denied", "Authentication rejected by the SSH server."},
      {"directory not found", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    auto text = interpretConnectionFailure(nas, c.raw);
    if (*c.opening == '\0') {
      EXPECT_EQ(text, std::nullopt);
      continue;
    }
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->starts_with(c.opening)) << *text;
    EXPECT_TRUE(text->ends_with(std::string("\n\nRaw error: ") + c.raw)) << *text;
  }
}

}  // namespace
}  // namespace brimvale::cloud
