#include "cloud/connection_verdict.h"

#include <regex>

#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

bool holdsAny(std::string_view text, std::initializer_list<std::string_view> needles) {
  for (auto needle : needles) {
    if (text.find(needle) != std::string_view::npos) return true;
  }
  return false;
}

std::string hostKeyChanged() {
  return "The SSH host key for this server has changed since it was first trusted. This is "
         "either a benign server reinstall or a man-in-the-middle attempt \u2014 verify with the "
         "server admin before clearing the known-hosts entry.\n\n";
}

std::string unreachable(const TestedRemote& r) {
  const std::string host = r.host.empty() ? "the server" : r.host;
  return "Couldn't reach " + host +
         " \u2014 the network connection didn't complete (no route or timed out). Check the host "
         "is online and that no firewall is silently dropping packets between this Mac and the "
         "server.\n\n";
}

std::string nothingListening(const TestedRemote& r, const std::string& raw) {
  std::smatch found;
  static const std::regex dial(R"(dial tcp6?\s+([^:]+:\d+))");
  const std::string where =
      std::regex_search(raw, found, dial) ? found[1].str() : "the target host";
  std::string text = "Nothing's listening on " + where +
                     ". Brimvale is configured to connect on port " + r.port +
                     "; if your server runs on a different host port (Docker `-p 2222:22` style "
                     "mapping is the usual cause), open Edit and change the Port field to match.";
  if (r.host == "127.0.0.1" || r.host == "localhost" || r.host == "::1") {
    text += r.type == "ftp"
                ? "\n\n**Local FTP daemon?** Check that it is running and listening on port " +
                      r.port + "."
                : "\n\n**macOS native SSH?** Turn on Remote Login in System Settings \u2192 "
                  "General \u2192 Sharing, which listens on port 22.";
    text += "\n\n**Check it's reachable:** `nc -zv " + r.host + " " + r.port +
            "` should print `succeeded`.\n\n**Docker container?** Run `docker ps` and check the "
            "PORTS column. The number before the arrow is the port to enter here.";
  }
  return text + "\n\n";
}

std::string signInRejected(const TestedRemote& r) {
  return "Authentication rejected by the SSH server. Check that:\n"
         "\u2022 the user name has the right upper and lower case;\n"
         "\u2022 the password was typed with the right characters (keyboard layout, Caps Lock);\n"
         "\u2022 the server allows this sign-in method (password or key);\n"
         "\u2022 the server's AllowUsers, DenyUsers or AllowGroups settings let this user in.\n\n"
         "Sanity-check from Terminal: `sftp -P " +
         r.port + " " + r.user + "@" + r.host +
         "` \u2014 if that prompts for password and works, the credentials are right and "
         "Brimvale's stored value is stale (re-enter via Edit).\n\n";
}

}  // namespace

ConnectionVerdict explainFailedTest(const TestedRemote& r, std::string_view raw) {
  const std::string text(raw);
  const std::string lower = asciiLower(raw);
  if (r.type == "s3") {
    if (holdsAny(lower, {"accessdenied"}) && holdsAny(lower, {"s3:listallmybuckets"})) {
      return {true,
              "Authenticated. IAM policy is correctly scoped \u2014 it grants access to your "
              "bucket(s) but deliberately not the global s3:ListAllMyBuckets permission. Add "
              "s3:ListAllMyBuckets to the IAM policy if you want this test to always pass."};
    }
    return {false, text};
  }
  if (r.type != "sftp" && r.type != "ftp") return {false, text};
  std::string why;
  if (holdsAny(lower, {"host key"}) && holdsAny(lower, {"changed", "mismatch"})) {
    why = hostKeyChanged();
  } else if (holdsAny(lower, {"no route to host", "i/o timeout"})) {
    why = unreachable(r);
  } else if (holdsAny(lower, {"connection refused"})) {
    why = nothingListening(r, text);
  } else if (holdsAny(lower, {"unexpected message type 51", "unexpected message type 60",
                              "all configured authentication methods failed",
                              "no supported methods remain", "permission denied"})) {
    why = signInRejected(r);
  } else {
    return {false, text};
  }
  return {false, why + "Raw error: " + text};
}

}  // namespace brimvale::cloud
