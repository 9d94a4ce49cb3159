// Plain-language readings of a failed connection test: rclone's raw error
// says what broke in network terms; these say what to check.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimvale::cloud {

enum class ConnectionKind { kSftp, kFtp };

// The remote's settings as the user entered them.
struct ConnectionTarget {
  ConnectionKind kind = ConnectionKind::kSftp;
  std::string host;
  std::string port;
  std::string user;
};

// For SFTP and FTP remotes: the advice for the first rule that matches the
// lower-cased `rawError` (host key changed; unreachable; nothing listening;
// sign-in rejected), ending "Raw error: " and the raw text; nothing when no
// rule matches.
[[nodiscard]] std::optional<std::string> interpretConnectionFailure(const ConnectionTarget& target,
                                                                    std::string_view rawError);

// For S3 remotes: a refusal of s3:ListAllMyBuckets means the keys worked and
// the policy is scoped to the user's buckets; the test then counts as passed
// and this says why. Nothing for any other failure.
[[nodiscard]] std::optional<std::string> interpretS3TestFailure(std::string_view rawError);

}  // namespace brimvale::cloud
