// What a failed connection test of a remote means, in words the user can act
// on: rclone's raw error is matched against the failures people meet most
// (a changed host key, an unreachable host, nothing listening, a rejected
// sign-in), and an S3 refusal that proves the keys work counts as a pass.
#pragma once

#include <string>
#include <string_view>

namespace brimvale::cloud {

// The remote as rclone has it configured; empty fields are unknown.
struct TestedRemote {
  std::string type;  // "sftp", "ftp", "s3", ...
  std::string host;
  std::string port;
  std::string user;
};

struct ConnectionVerdict {
  bool ok = false;
  std::string message;
};

// The verdict on a test that failed with `raw` (rclone's own error text).
// Without a matching rule the message is `raw` itself.
[[nodiscard]] ConnectionVerdict explainFailedTest(const TestedRemote& remote, std::string_view raw);

}  // namespace brimvale::cloud
