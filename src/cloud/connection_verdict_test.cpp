#include "cloud/connection_verdict.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

TEST(ConnectionVerdict, NamesTheFirstMatchingCauseAndKeepsTheRawError) {
  const TestedRemote sftp{"sftp", "127.0.0.1", "2222", "ann"};
  const TestedRemote farSftp{"sftp", "files.example", "22", "ann"};
  struct Case {
    std::string what;
    TestedRemote remote;
    std::string raw;
    bool ok;
    std::string starts;    // the message's beginning
    std::string contains;  // somewhere in it
  } cases[] = {
      {"host key before refused", sftp, "ssh: host key mismatch; connection refused", false,
       "The SSH host key for this server has changed", "\n\nRaw error: ssh: host key mismatch"},
      {"timeout", farSftp, "dial tcp 10.0.0.9:22: i/o timeout", false,
       "Couldn't reach files.example \u2014", "between this Mac and the server."},
      {"refused on loopback", sftp, "dial tcp 127.0.0.1:2222: connect: Connection refused", false,
       "Nothing's listening on 127.0.0.1:2222. Brimvale is configured to connect on port 2222;",
       "`nc -zv 127.0.0.1 2222` should print `succeeded`."},
      {"refused elsewhere has no local hints", farSftp, "connection refused", false,
       "Nothing's listening on the target host.", "match.\n\nRaw error: connection refused"},
      {"sign-in", farSftp, "ssh: handshake failed: unexpected message type 51", false,
       "Authentication rejected by the SSH server. Check that:",
       "`sftp -P 22 ann@files.example` \u2014"},
      {"unknown cause", farSftp, "something else", false, "something else", ""},
      {"s3 scoped policy",
       {"s3"},
       "AccessDenied: not allowed s3:ListAllMyBuckets",
       true,
       "Authenticated. IAM policy is correctly scoped",
       ""},
      {"s3 plain denial", {"s3"}, "AccessDenied", false, "AccessDenied", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto verdict = explainFailedTest(c.remote, c.raw);
    EXPECT_EQ(verdict.ok, c.ok);
    EXPECT_TRUE(verdict.message.starts_with(c.starts)) << verdict.message;
    EXPECT_NE(verdict.message.find(c.contains), std::string::npos) << verdict.message;
  }
  EXPECT_EQ(explainFailedTest(farSftp, "connection refused").message.find("nc -zv"),
            std::string::npos);
}

}  // namespace
}  // namespace brimvale::cloud
