// The copy tool the mover runs: which GNU rsync was found, the argument list
// it gets, and how its progress output and exit codes are read.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"
#include "mover/manifest.h"

namespace brimvale::mover {

// How the copy tool is pointed at the source: a folder's contents go into
// the destination folder ("src/" "dst/"); a single file is copied as a file
// to the destination name, without the slashes that would make it a folder.
enum class CopyShape { kFolderContents, kSingleFile };

struct RsyncSupport {
  std::string executablePath;
  std::string versionLine;  // "rsync (GNU 3+)" when the tool printed none
  int major = 0;
  int minor = 0;
  int patch = 0;
  // False where the tool says "no crtimes" (GNU rsync on Linux refuses the option).
  bool supportsCrtimes = true;

  // Checks `candidates` in order (each must be executable, say "rsync" and
  // "version 3." or "version 4.", and not be openrsync); nothing when none does.
  [[nodiscard]] static std::optional<RsyncSupport> probe(const std::vector<std::string>& candidates,
                                                         const ProcessRunner& run);
  // The mover's candidates: <resources>/bin/rsync, the two package-manager
  // paths and, on Linux, /usr/bin/rsync last.
  [[nodiscard]] static std::vector<std::string> defaultCandidates(
      const std::string& resourcesFolder);
  // Reads "--version" text (stdout and stderr together).
  [[nodiscard]] static std::optional<RsyncSupport> fromVersionOutput(std::string path,
                                                                     std::string_view output);

  [[nodiscard]] bool atLeast(int maj, int min, int pat) const;
  [[nodiscard]] std::vector<std::string> arguments(
      MoveConflictPolicy policy, const std::string& src, const std::string& finalDst,
      CopyShape shape = CopyShape::kFolderContents) const;
};

struct RsyncProgressInfo {
  std::int64_t bytesTransferred = 0;
  double fraction = 0;
  std::int64_t bytesPerSecond = 0;
  int etaSeconds = 0;
  std::optional<int> transferCount;
  std::optional<int> toCheckRemaining;
  std::optional<int> toCheckTotal;
};

// "<bytes> <pct>% <rate> <h:mm:ss> [(xfr#n, to-chk=r/t)]"; nothing for other lines.
[[nodiscard]] std::optional<RsyncProgressInfo> parseProgressLine(std::string_view line);
// The trimmed line when it names a file, else nothing (summaries, errors, blanks).
[[nodiscard]] std::optional<std::string> currentFileFromLine(std::string_view line);
// The failure text for a copy that ended with `exitCode` (drive still present).
[[nodiscard]] std::string rsyncExitMessage(int exitCode, std::string_view src);

// What the copy tool's error lines say went wrong. Only causes that change
// what the user should do are told apart.
enum class CopyFailureCause {
  kUnknown,
  kNoSpace,
  kReadOnly,
  kPermissionDenied,
  kNameTooLong,
  kVanished
};
// The most pressing cause named in `errorLines` (a full drive first).
[[nodiscard]] CopyFailureCause copyFailureCause(const std::vector<std::string>& errorLines);
// Separates a failure sentence from its technical detail; what follows it is
// never matched for keywords.
inline constexpr std::string_view kRawErrorMarker = " Raw error: ";
// The failure text for a copy that ended with `exitCode` while the drive was
// present, told by the copy tool's standard error: the exit code's own text
// where the lines do not contradict it, else the plain "couldn't finish
// copying" text followed by the real cause (a full drive, a read-only
// destination, a denied permission, an over-long name); then, after
// kRawErrorMarker, the tool's first error lines. Its kind: the drive went away
// for the exit codes whose text blames a busy drive, else the sentence stands.
[[nodiscard]] MoveError copyFailureMessage(int exitCode, std::string_view src,
                                           const std::vector<std::string>& errorLines);
// “name” of the last path component, or "this item".
[[nodiscard]] std::string quotedName(std::string_view path);
// Program and arguments joined by spaces; arguments with a space are quoted.
[[nodiscard]] std::string commandLineText(const std::string& program,
                                          const std::vector<std::string>& args);

}  // namespace brimvale::mover
