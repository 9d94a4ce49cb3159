// Brimvale's one door to rclone for short commands: runs it without a shell,
// changes remote definitions through rclone's own config commands (secrets
// never on an argument list), and the remote browser's folder operations.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cloud/rclone_config_commands.h"
#include "cloud/rclone_locator.h"
#include "common/base/error.h"

namespace brimvale::cloud {

#if defined(__APPLE__)
inline constexpr std::string_view kRcloneNotInstalled =
    "rclone is not installed. Install with: brew install rclone";
#else
inline constexpr std::string_view kRcloneNotInstalled =
    "rclone is not installed. Install with: sudo apt install rclone";
#endif
// The remote browser's shorter form.
inline constexpr std::string_view kRcloneNotInstalledBrowser = "rclone is not installed.";
inline constexpr std::string_view kLaunchFailedPrefix = "Failed to launch rclone: ";

inline constexpr std::string_view kFolderMarkerName = ".brimvale-keep";
inline constexpr std::string_view kFolderMarkerContent =
    "Brimvale folder marker \u2014 safe to delete.\n";

struct RcloneRunResult {
  // The exit status; a child ended by a signal gives minus the signal number.
  std::int32_t status = 0;
  std::string out;
  std::string err;
};

// One entry of `rclone lsjson`: only these three keys are read.
struct RcloneEntry {
  std::string path;
  std::string name;
  bool isDir = false;
  bool operator==(const RcloneEntry&) const = default;
};

// The entries of an lsjson listing; Errc::kParse for anything but an array
// of objects with a text "Path" (a missing "Name" or "IsDir" takes its default).
[[nodiscard]] Result<std::vector<RcloneEntry>> parseLsjson(std::string_view json);

// Whether `path` is "remote:path": a ':' after the first character, with no
// '/' before it. "/Users/me/a:b" and ":x" are local.
[[nodiscard]] bool isRemotePath(std::string_view path);
// The text before the first ':' of a remote path; nothing for a local path.
[[nodiscard]] std::optional<std::string> remoteNameOf(std::string_view path);

// `path` on an S3 remote with its default `bucket` put first ("s3:x" ->
// "s3:bucket/x"); unchanged when it is local or already starts with the bucket.
[[nodiscard]] std::string withDefaultBucket(std::string_view path, std::string_view bucket);

// Whether rclone can take `name` as a remote name without mistaking it for
// an option or a path: not empty, no leading '-' or blank, no ':' or '/'.
[[nodiscard]] bool isUsableRemoteName(std::string_view name);

// Why a new remote cannot take the name of an existing one.
[[nodiscard]] std::string existingRemoteText(const std::string& name);

// What a failed probe's output means to the user; nothing when no known
// cause is recognised.
[[nodiscard]] std::optional<std::string> classifyProbeFailure(std::string_view output);

// Every call blocks until rclone has exited: callers run it off their event
// loop. The const operations may run on several threads at once; the remote
// definition changes (which cache rclone's type catalogue) one at a time.
class RcloneClient final : public RcloneConfigCommands {
 public:
  // `rclone` is the located program, or nothing when rclone is not installed.
  explicit RcloneClient(std::optional<std::string> rclone, ProcessRunner runner);

  [[nodiscard]] bool installed() const { return rclone_.has_value(); }

  // Runs rclone with `args` to the end. Errors: Errc::kUnavailable with
  // kRcloneNotInstalled, Errc::kLaunchFailed with "Failed to launch rclone: "
  // and the reason. A non-zero exit is a result, not an error.
  [[nodiscard]] Result<RcloneRunResult> run(
      std::vector<std::string> args, std::string input = {},
      std::vector<std::pair<std::string, std::string>> environment = {}) const;
  // `rclone rcat {target}` with `input` on its standard input.
  [[nodiscard]] Result<RcloneRunResult> runRcat(const std::string& input,
                                                const std::string& target) const;

  // Non-secret keys go on `config create` as rclone documents it. Each secret
  // is then set through rclone's config question for that key, the answer
  // passed in the child's environment (readable only by this user); values
  // rclone keeps obscured are obscured first by `rclone obscure -` reading
  // standard input. A failed secret removes the half-made remote again. A
  // name already in use is refused: rclone would replace that remote.
  [[nodiscard]] Result<void> createRemote(const std::string& name, const std::string& type,
                                          const std::vector<RemoteKey>& keys) override;
  [[nodiscard]] Result<void> updateKey(const std::string& name, const RemoteKey& key) override;
  [[nodiscard]] Result<std::map<std::string, std::map<std::string, std::string>>> dump() override;
  [[nodiscard]] Result<std::string> reveal(const std::string& obscured) override;

  // Remote browser. `path` is inside `remote`; errors carry the user's sentence.
  [[nodiscard]] Result<std::vector<RcloneEntry>> listFolders(const std::string& remote,
                                                             const std::string& path) const;
  // mkdir, then the marker file (object stores show a folder only once it
  // holds something). A failed marker still leaves the folder: the error says so.
  [[nodiscard]] Result<void> makeFolder(const std::string& remote, const std::string& path) const;
  [[nodiscard]] Result<void> deleteFolder(const std::string& remote, const std::string& path) const;
  [[nodiscard]] Result<void> deleteFile(const std::string& remote, const std::string& path) const;

  // `lsd {target} --max-depth 1`; a failure's detail is the recognised cause
  // or else rclone's output.
  [[nodiscard]] Result<void> probe(const std::string& target) const;
  // Every entry of `target` for the storage inspector.
  [[nodiscard]] Result<std::vector<RcloneEntry>> listRcloneEntries(const std::string& target) const;

 private:
  struct SecretOption {
    std::size_t index = 0;
    bool advanced = false;
    bool password = false;  // rclone keeps the value obscured
  };
  [[nodiscard]] Result<SecretOption> secretOption(const std::string& type, const std::string& key);
  [[nodiscard]] Result<std::string> typeOf(const std::string& name);
  [[nodiscard]] Result<void> setSecret(const std::string& name, const std::string& type,
                                       const RemoteKey& key);
  [[nodiscard]] Result<RcloneRunResult> browserRun(std::vector<std::string> args,
                                                   std::string input = {}) const;

  std::optional<std::string> rclone_;
  ProcessRunner runner_;
  // `rclone config providers`, read once when a secret is first written.
  std::optional<std::string> providers_;
};

}  // namespace brimvale::cloud
