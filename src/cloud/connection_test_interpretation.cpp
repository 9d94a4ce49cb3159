#include "cloud/connection_test_interpretation.h"

#include <algorithm>
#include <regex>

#include "common/base/platform_words.h"

namespace brimvale::cloud {
namespace {

std::string lowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

bool has(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

bool isLoopback(std::string_view host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

#if defined(__APPLE__)
constexpr std::string_view kLocalSshHint =
    "**macOS native SSH?** Turn on Remote Login in System Settings \u2192 General \u2192 "
    "Sharing, then test again.";
#else
constexpr std::string_view kLocalSshHint =
    "**This computer's own SSH server?** Make sure it is installed and running (on most systems "
    "`systemctl status ssh` shows it), then test again.";
#endif

std::string nothingListening(const ConnectionTarget& target, std::string_view raw) {
  static const std::regex kDial(R"(dial tcp6?\s+([^:]+:\d+))");
  std::string rawText(raw);
  std::smatch m;
  std::string hostPort =
      std::regex_search(rawText, m, kDial) ? m[1].str() : std::string("the target host");

  std::string text = "Nothing's listening on " + hostPort +
                     ". Brimvale is configured to connect on port " + target.port +
                     "; if your server runs on a different host port (Docker `-p 2222:22` style "
                     "mapping is the usual cause), open Edit and change the Port field to match.";
  if (isLoopback(target.host)) {
    text += "\n\n";
    text += target.kind == ConnectionKind::kSftp
                ? std::string(kLocalSshHint)
                : "**Local FTP daemon?** Make sure your FTP server is running and listening on "
                  "port " +
                      target.port + ", then test again.";
    text += "\n\n**Check it's reachable:** `nc -zv " + target.host + " " + target.port +
            "` should print `succeeded`.";
    text +=
        "\n\n**Docker container?** Run `docker ps` and check the PORTS column. The number before "
        "the arrow (as in `0.0.0.0:2222->22/tcp`) is the port to enter here.";
  }
  return text + "\n\nRaw error: " + rawText;
}

}  // namespace

std::optional<std::string> interpretConnectionFailure(const ConnectionTarget& target,
                                                      std::string_view rawError) {
  const std::string raw(rawError);
  const std::string text = lowered(rawError);
  if (has(text, "host key") && (has(text, "changed") || has(text, "mismatch"))) {
    return "The SSH host key for this server has changed since it was first trusted. This is "
           "either a benign server reinstall or a man-in-the-middle attempt \u2014 verify with the "
           "server admin before clearing the known-hosts entry.\n\nRaw error: " +
           raw;
  }
  if (has(text, "no route to host") || has(text, "i/o timeout")) {
    return "Couldn't reach " + target.host +
           " \u2014 the network connection didn't complete (no route or timed out). Check the "
           "host is online and that no firewall is silently dropping packets between this " +
           std::string(kHostWords.computer) + " and the server.\n\nRaw error: " + raw;
  }
  if (has(text, "connection refused")) return nothingListening(target, rawError);
  if (has(text, "unexpected message type 51") || has(text, "unexpected message type 60") ||
      has(text, "all configured authentication methods failed") ||
      has(text, "no supported methods remain") || has(text, "permission denied")) {
    return "Authentication rejected by the SSH server. Check that:\n"
           "\u2022 the username matches the account exactly, including upper and lower case;\n"
           "\u2022 the password was typed without mistakes (characters such as quotes or "
           "non-English letters are easy to get wrong);\n"
           "\u2022 the server allows this way of signing in (password or key) for this user;\n"
           "\u2022 no AllowUsers, DenyUsers or AllowGroups line on the server shuts this user "
           "out.\n\n"
           "Sanity-check from Terminal: `sftp -P " +
           target.port + " " + target.user + "@" + target.host +
           "` \u2014 if that prompts for password and works, the credentials are right and "
           "Brimvale's stored value is stale (re-enter via Edit).\n\nRaw error: " +
           raw;
  }
  return std::nullopt;
}

std::optional<std::string> interpretS3TestFailure(std::string_view rawError) {
  const std::string text = lowered(rawError);
  if (!has(text, "accessdenied") || !has(text, "s3:listallmybuckets")) return std::nullopt;
  return "Authenticated. IAM policy is correctly scoped \u2014 it grants access to your bucket(s) "
         "but deliberately not the global s3:ListAllMyBuckets permission, which this test uses to "
         "list buckets. Transfers to your bucket will work. If you want the test to pass as well, "
         "add s3:ListAllMyBuckets to the IAM policy.";
}

}  // namespace brimvale::cloud
