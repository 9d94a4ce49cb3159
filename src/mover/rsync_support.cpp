#include "mover/rsync_support.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <regex>

#include "common/base/process.h"
#include "common/base/text_formats.h"

namespace brimvale::mover {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<std::int64_t> digits(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

std::optional<RsyncSupport> RsyncSupport::fromVersionOutput(std::string path,
                                                            std::string_view output) {
  const std::string text(output);
  if (text.find("openrsync") != std::string::npos || text.find("rsync") == std::string::npos ||
      (text.find("version 3.") == std::string::npos &&
       text.find("version 4.") == std::string::npos)) {
    return std::nullopt;
  }
  RsyncSupport s;
  s.executablePath = std::move(path);
  s.versionLine = text.substr(0, text.find('\n'));
  if (trim(s.versionLine).empty()) s.versionLine = "rsync (GNU 3+)";
  std::smatch m;
  static const std::regex kVersion(R"(version\s+(\d+)\.(\d+)(?:\.(\d+))?)");
  if (std::regex_search(text, m, kVersion)) {
    s.major = std::stoi(m[1]);
    s.minor = std::stoi(m[2]);
    s.patch = m[3].matched ? std::stoi(m[3]) : 0;
  }
  s.supportsCrtimes = text.find("no crtimes") == std::string::npos;
  return s;
}

std::optional<RsyncSupport> RsyncSupport::probe(const std::vector<std::string>& candidates,
                                                const ProcessRunner& run) {
  for (const auto& path : candidates) {
    if (path.empty() || path.front() != '/' || access(path.c_str(), X_OK) != 0) continue;
    ProcessResult r = runTool(run, path, {"--version"}, std::chrono::seconds(5));
    if (r.outcome != ProcessOutcome::kExited) continue;
    if (auto s = fromVersionOutput(path, r.out + r.err)) return s;
  }
  return std::nullopt;
}

std::vector<std::string> RsyncSupport::defaultCandidates(const std::string& resourcesFolder) {
  std::vector<std::string> out;
  if (!resourcesFolder.empty()) out.push_back(resourcesFolder + "/bin/rsync");
  out.push_back("/opt/homebrew/bin/rsync");
  out.push_back("/usr/local/bin/rsync");
#if defined(__linux__)
  // Linux ships GNU rsync here; the version line still has to qualify it.
  out.push_back("/usr/bin/rsync");
#endif
  return out;
}

bool RsyncSupport::atLeast(int maj, int min, int pat) const {
  if (major != maj) return major > maj;
  if (minor != min) return minor > min;
  return patch >= pat;
}

std::vector<std::string> RsyncSupport::arguments(MoveConflictPolicy policy, const std::string& src,
                                                 const std::string& finalDst,
                                                 CopyShape shape) const {
  std::vector<std::string> args{"-aHEX", "-v", "--info=progress2", "--no-inc-recursive"};
  if (atLeast(3, 2, 7)) {
    if (supportsCrtimes) args.push_back("--crtimes");
    args.push_back("--atimes");
  }
  args.push_back("--sparse");
  if (policy == MoveConflictPolicy::kMergeKeepNewer) args.push_back("--update");
  const std::string slash = shape == CopyShape::kFolderContents ? "/" : "";
  args.push_back(src + slash);
  args.push_back(finalDst + slash);
  return args;
}

std::optional<RsyncProgressInfo> parseProgressLine(std::string_view line) {
  // Every copied file's name comes through here too; most have no '%'.
  if (line.find('%') == std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> f;
  for (std::size_t i = 0; i < line.size();) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    f.push_back(line.substr(start, i - start));
  }
  if (f.size() < 4 || f[1].size() < 2 || f[1].back() != '%') return std::nullopt;
  std::string bytesText;
  for (char c : f[0]) {
    if (c != ',' && c != '.') bytesText += c;
  }
  auto bytes = digits(bytesText);
  auto percent = digits(f[1].substr(0, f[1].size() - 1));
  if (!bytes || !percent) return std::nullopt;
  std::string rate(f[2]);
  if (rate.size() < 2 || rate.substr(rate.size() - 2) != "/s") return std::nullopt;
  rate.resize(rate.size() - 2);
  std::string number, unit;
  for (char c : rate) {
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
      number += c;
    } else {
      unit += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  double factor = 0;
  if (unit == "B")
    factor = 1;
  else if (unit == "K" || unit == "KB")
    factor = 1024.0;
  else if (unit == "M" || unit == "MB")
    factor = 1024.0 * 1024;
  else if (unit == "G" || unit == "GB")
    factor = 1024.0 * 1024 * 1024;
  else if (unit == "T" || unit == "TB")
    factor = 1024.0 * 1024 * 1024 * 1024;
  RsyncProgressInfo info;
  info.bytesTransferred = *bytes;
  info.fraction = std::min(1.0, static_cast<double>(*percent) / 100.0);
  info.bytesPerSecond = number.empty() ? 0 : static_cast<std::int64_t>(std::stod(number) * factor);
  int eta = 0;
  int weight = 1;
  std::string_view etaText = f[3];
  bool ok = true;
  while (true) {
    auto colon = etaText.rfind(':');
    auto part = colon == std::string_view::npos ? etaText : etaText.substr(colon + 1);
    auto v = digits(part);
    if (!v) {
      ok = false;
      break;
    }
    eta += static_cast<int>(*v) * weight;
    weight *= 60;
    if (colon == std::string_view::npos) break;
    etaText = etaText.substr(0, colon);
  }
  info.etaSeconds = ok ? eta : 0;
  for (std::size_t i = 4; i < f.size(); ++i) {
    std::string_view w = f[i];
    if (w.starts_with("(xfr#")) {
      w.remove_prefix(5);
      if (w.ends_with(",")) w.remove_suffix(1);
      if (auto v = digits(w)) info.transferCount = static_cast<int>(*v);
    } else if (w.starts_with("to-chk=") || w.starts_with("ir-chk=")) {
      w.remove_prefix(7);
      if (w.ends_with(")")) w.remove_suffix(1);
      auto slash = w.find('/');
      if (slash == std::string_view::npos) continue;
      auto r = digits(w.substr(0, slash));
      auto t = digits(w.substr(slash + 1));
      if (r && t) {
        info.toCheckRemaining = static_cast<int>(*r);
        info.toCheckTotal = static_cast<int>(*t);
      }
    }
  }
  return info;
}

std::optional<std::string> currentFileFromLine(std::string_view line) {
  std::string_view t = trim(line);
  if (t.empty()) return std::nullopt;
  const std::string l = asciiLower(t);
  static constexpr std::string_view kSkip[] = {"sending incremental file list",
                                               "sending file list",
                                               "sent ",
                                               "total size is",
                                               "rsync error",
                                               "rsync warning",
                                               "rsync:",
                                               "skipping ",
                                               "io error",
                                               "file has vanished",
                                               "building file list",
                                               "delta-transmission",
                                               "deleting "};
  for (auto prefix : kSkip) {
    if (l.starts_with(prefix)) return std::nullopt;
  }
  if (l.find(" bytes/sec") != std::string::npos || l.find(" bytes  ") != std::string::npos) {
    return std::nullopt;
  }
  return std::string(t);
}

std::string quotedName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty()) return "this item";
  return "\u201C" + std::string(name) + "\u201D";
}

std::string rsyncExitMessage(int exitCode, std::string_view src) {
  const std::string name = quotedName(src);
  switch (exitCode) {
    case 1:
      return "Brimvale couldn't start the copy for " + name +
             " because of an internal problem. Your original is safe.";
    case 11:
    case 12:
      return "Brimvale couldn't read or write some files in " + name +
             ". Your original is safe. This can happen if the drive was busy or briefly "
             "unavailable.";
    case 23:
      return "Some files in " + name +
             " kept changing while they were being copied, so the copy couldn't finish cleanly. "
             "Your original is safe and untouched. This is common for app caches that are in "
             "active use.";
    case 24:
      return "Some files in " + name +
             " were removed by another app before the copy finished. Your original is safe — "
             "nothing was lost.";
    case 30:
    case 35:
      return "Copying " + name +
             " took too long and timed out. Your original is safe — Brimvale will try again later.";
    default:
      return "Brimvale couldn't finish copying " + name + ". Your original is safe and untouched.";
  }
}

CopyFailureCause copyFailureCause(const std::vector<std::string>& errorLines) {
  // Most pressing first: a full drive explains every other complaint after it.
  static constexpr std::pair<CopyFailureCause, std::string_view> kSigns[] = {
      {CopyFailureCause::kNoSpace, "No space left on device"},
      {CopyFailureCause::kReadOnly, "Read-only file system"},
      {CopyFailureCause::kPermissionDenied, "Permission denied"},
      {CopyFailureCause::kPermissionDenied, "Operation not permitted"},
      {CopyFailureCause::kNameTooLong, "File name too long"},
      {CopyFailureCause::kNameTooLong, "overflows max-path len"},
      {CopyFailureCause::kVanished, "file has vanished"},
  };
  for (const auto& [cause, sign] : kSigns) {
    for (const auto& line : errorLines) {
      if (line.find(sign) != std::string::npos) return cause;
    }
  }
  return CopyFailureCause::kUnknown;
}

MoveError copyFailureMessage(int exitCode, std::string_view src,
                             const std::vector<std::string>& errorLines) {
  // The generic text is true whatever happened; the specific ones only when
  // nothing in the tool's lines contradicts them.
  const std::string plain = rsyncExitMessage(-1, src);
  std::string text;
  MoveFailure kind = MoveFailure::kStatedWithDetails;
  switch (copyFailureCause(errorLines)) {
    case CopyFailureCause::kNoSpace:
      text = plain + " The drive is full — free some space on the drive and try again.";
      break;
    case CopyFailureCause::kReadOnly:
      text = plain + " The destination is read-only, so nothing could be written there.";
      break;
    case CopyFailureCause::kPermissionDenied:
      text =
          plain +
          " Some files couldn't be read or written because permission was denied; make sure your "
          "account may read every file in it and try again.";
      break;
    case CopyFailureCause::kNameTooLong:
      text = plain +
             " Some names or paths in it are too long to be copied; shorten them and try again.";
      break;
    case CopyFailureCause::kVanished:
    case CopyFailureCause::kUnknown:
      text = rsyncExitMessage(exitCode, src);
      if (exitCode == 11 || exitCode == 12) kind = MoveFailure::kDriveGone;
      break;
  }
  // The tool's own complaints; its closing "rsync error: ... (code n)" line
  // only when there is nothing better.
  std::vector<std::string_view> shown;
  for (bool summaries : {false, true}) {
    for (const auto& line : errorLines) {
      const std::string_view t = trim(line);
      if (!t.empty() && t.starts_with("rsync error: ") == summaries) shown.push_back(t);
    }
    if (!shown.empty()) break;
  }
  constexpr std::size_t kShownLines = 3;
  for (std::size_t i = 0; i < shown.size() && i < kShownLines; ++i) {
    text += (i == 0 ? std::string(kRawErrorMarker) : std::string(" | ")) + std::string(shown[i]);
  }
  if (shown.size() > kShownLines)
    text += " (+" + std::to_string(shown.size() - kShownLines) + " more)";
  return {kind, text};
}

std::string commandLineText(const std::string& program, const std::vector<std::string>& args) {
  std::string out = program;
  for (const auto& a : args) {
    out += ' ';
    if (a.find(' ') == std::string::npos) {
      out += a;
      continue;
    }
    out += '"';
    for (char c : a) {
      if (c == '"') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out;
}

}  // namespace brimvale::mover
