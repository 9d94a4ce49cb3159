#include "cloud/connection_test_interpretation.h"

#include <gtest/gtest.h>

#include "testing/text_checks.h"

namespace brimvale::cloud {
namespace {

using testing::contains;

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
      {"dial tcp 10.0.0.9:2222: connect: no route to host",
       "Couldn't reach nas.example \u2014 the network connection didn't complete"},
      {"dial tcp 10.0.0.9:2222: i/o timeout", "Couldn't reach nas.example"},
      {"dial tcp 10.0.0.9:2222: connect: connection refused",
       "Nothing's listening on 10.0.0.9:2222. Brimvale is configured to connect on port 2222;"},
      {"Connection Refused by peer", "Nothing's listening on the target host."},
      {"ssh: unable to authenticate, attempted methods [none password], no supported methods "
       "remain",
       "Authentication rejected by the SSH server. Check that:\n"},
      {"ssh: handshake failed: unexpected message type 51 (expected 52)",
       "Authentication rejected by the SSH server."},
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

TEST(ConnectionTest, SignInAdviceNamesTheExactCommandToTry) {
  auto text = interpretConnectionFailure({ConnectionKind::kSftp, "nas.example", "2222", "alice"},
                                         "permission denied");
  ASSERT_TRUE(text);
  EXPECT_TRUE(contains(*text,
                       "Sanity-check from Terminal: `sftp -P 2222 alice@nas.example` "
                       "\u2014 if that prompts for password and works, the credentials "
                       "are right and Brimvale's stored value is stale (re-enter via "
                       "Edit).\n\nRaw error: permission denied"));
}

TEST(ConnectionTest, ARefusedLocalServerGetsLocalHints) {
  struct Case {
    ConnectionKind kind;
    const char* host;
    const char* hint;  // empty: no local hints
  } cases[] = {
      {ConnectionKind::kSftp, "127.0.0.1", "SSH server?**"},
      {ConnectionKind::kSftp, "::1", "SSH server?**"},
      {ConnectionKind::kFtp, "localhost", "**Local FTP daemon?**"},
      {ConnectionKind::kSftp, "nas.example", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    auto text = interpretConnectionFailure({c.kind, c.host, "2022", "me"},
                                           "dial tcp 127.0.0.1:2022: connection refused");
    ASSERT_TRUE(text);
    bool local = *c.hint != '\0';
    EXPECT_EQ(contains(*text, c.hint) && local, local);
    EXPECT_EQ(
        contains(*text, std::string("`nc -zv ") + c.host + " 2022` should print `succeeded`."),
        local);
    EXPECT_EQ(contains(*text, "**Docker container?** Run `docker ps`"), local);
  }
}

TEST(ConnectionTest, S3ListingRefusalCountsAsAuthenticated) {
  auto text = interpretS3TestFailure(
      "AccessDenied: User: arn:aws:iam::1:user/x is not authorized to perform: "
      "s3:ListAllMyBuckets");
  ASSERT_TRUE(text);
  EXPECT_TRUE(
      text->starts_with("Authenticated. IAM policy is correctly scoped \u2014 it grants "
                        "access to your bucket(s) but deliberately not the global"));
  EXPECT_TRUE(contains(*text, "add s3:ListAllMyBuckets to the IAM policy"));
  EXPECT_EQ(interpretS3TestFailure("AccessDenied: s3:PutObject"), std::nullopt);
  EXPECT_EQ(interpretS3TestFailure("InvalidAccessKeyId"), std::nullopt);
}

}  // namespace
}  // namespace brimvale::cloud
