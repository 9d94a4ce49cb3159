#include "apps/app_move_error.h"

#include <array>
#include <cmath>
#include <utility>

namespace brimvale::apps {
namespace {

struct ErrorRow {
  EngineErrorKind kind;
  std::string_view id;
  // Literal text with {field} slots filled from the payload in one pass.
  std::string_view pattern;
};

constexpr std::array<ErrorRow, 18> kEngineErrors{{
    {EngineErrorKind::kMessage, "message", "{text}"},
    {EngineErrorKind::kEnumerationFailed, "enumerationFailed",
     "Couldn't enumerate {text} — permission denied or path missing."},
    {EngineErrorKind::kTimedOut, "timedOut",
     "{name} timed out after {seconds}s. Move rolled back."},
    {EngineErrorKind::kSubprocessFailed, "subprocessFailed",
     "{name} failed (exit {exit}): {stderr}"},
    {EngineErrorKind::kXattrFailed, "xattrFailed", "xattr {name}: {detail}"},
    {EngineErrorKind::kManifestNotFound, "manifestNotFound",
     "Couldn't find a record for this app (manifest {text})."},
    {EngineErrorKind::kNotCompleted, "notCompleted",
     "Move back is only valid for completed relocations (currently: {text})."},
    {EngineErrorKind::kNvmeCopyMissing, "nvmeCopyMissing",
     "The NVMe copy at {text} is missing — nothing to restore."},
    {EngineErrorKind::kDestinationOccupied, "destinationOccupied",
     "A real app is already at {text}. Delete it first if you want to overwrite, or remove the "
     "NVMe copy via the orphaned-relocation tools."},
    {EngineErrorKind::kSourceMissing, "sourceMissing",
     "The source bundle at {text} doesn't exist. Refresh the Apps list and try again."},
    {EngineErrorKind::kAlreadySymlink, "alreadySymlink",
     "The bundle at {text} is already a symlink — it appears to be relocated. Use the Moved tab "
     "to bring it back to /Applications."},
    {EngineErrorKind::kNotABundle, "notABundle",
     "The path at {text} is not a real .app bundle. Refusing to move."},
    {EngineErrorKind::kNvmeCopyExists, "nvmeCopyExists",
     "There's already a copy on NVMe at {text}. Run the orphaned-relocation cleanup and try "
     "again."},
    {EngineErrorKind::kWorkingFolderMissing, "workingFolderMissing",
     "The NVMe working folder doesn't exist yet ({text}). Run the Setup Wizard to prep the "
     "drive."},
    {EngineErrorKind::kRollbackIncomplete, "rollbackIncomplete",
     "ROLLBACK INCOMPLETE: original at {sourcePath} could not be restored from quarantine at "
     "{quarantinePath}: {detail}. Your bundle is at the quarantine path — copy it back manually."},
#if defined(__APPLE__)
    {EngineErrorKind::kRsyncMissing, "rsyncMissing",
     "GNU rsync 3.x is required. Install via Homebrew (`brew install rsync`)."},
#else
    {EngineErrorKind::kRsyncMissing, "rsyncMissing",
     "GNU rsync 3.x is required. Install it with `sudo apt install rsync`; nothing was moved."},
#endif
    {EngineErrorKind::kHashMismatch, "hashMismatch",
     "Post-copy hash mismatch — NVMe copy doesn't match the source. Move rolled back."},
#if defined(__APPLE__)
    {EngineErrorKind::kAdminCancelled, "adminCancelled",
     "This app was installed by macOS and needs administrator access to move, but the password "
     "prompt was cancelled — so nothing was changed."},
#else
    {EngineErrorKind::kAdminCancelled, "adminCancelled",
     "This app was installed by the system and needs administrator access to move, but the "
     "password prompt was cancelled — so nothing was changed."},
#endif
}};

const ErrorRow& rowOf(EngineErrorKind kind) {
  return kEngineErrors[static_cast<std::size_t>(kind)];
}

// The first `count` characters (code points) of UTF-8 text.
std::string firstCharacters(const std::string& text, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts && seen++ == count) return text.substr(0, i);
  }
  return text;
}

std::string slotValue(const EngineError& e, std::string_view slot) {
  if (slot == "text") return e.text;
  if (slot == "name") return e.name;
  if (slot == "seconds") return std::to_string(static_cast<long long>(std::trunc(e.seconds)));
  if (slot == "exit") return std::to_string(e.exit);
  if (slot == "stderr") return firstCharacters(e.detail, 200);
  if (slot == "detail") return e.detail;
  if (slot == "quarantinePath") return e.quarantinePath;
  if (slot == "sourcePath") return e.sourcePath;
  return "{" + std::string(slot) + "}";
}

}  // namespace

EngineError EngineError::message(std::string text) {
  EngineError e;
  e.text = std::move(text);
  return e;
}
EngineError EngineError::withPath(EngineErrorKind kind, std::string path) {
  EngineError e;
  e.kind = kind;
  e.text = std::move(path);
  return e;
}
EngineError EngineError::timedOut(std::string name, double seconds) {
  EngineError e;
  e.kind = EngineErrorKind::kTimedOut;
  e.name = std::move(name);
  e.seconds = seconds;
  return e;
}
EngineError EngineError::subprocessFailed(std::string name, std::int32_t exit,
                                          std::string stderrText) {
  EngineError e;
  e.kind = EngineErrorKind::kSubprocessFailed;
  e.name = std::move(name);
  e.exit = exit;
  e.detail = std::move(stderrText);
  return e;
}
EngineError EngineError::xattrFailed(std::string name, std::string error) {
  EngineError e;
  e.kind = EngineErrorKind::kXattrFailed;
  e.name = std::move(name);
  e.detail = std::move(error);
  return e;
}
EngineError EngineError::notCompleted(std::string phase) {
  return withPath(EngineErrorKind::kNotCompleted, std::move(phase));
}
EngineError EngineError::rollbackIncomplete(std::string quarantinePath, std::string source,
                                            std::string underlying) {
  EngineError e;
  e.kind = EngineErrorKind::kRollbackIncomplete;
  e.quarantinePath = std::move(quarantinePath);
  e.sourcePath = std::move(source);
  e.detail = std::move(underlying);
  return e;
}
EngineError EngineError::plain(EngineErrorKind kind) {
  EngineError e;
  e.kind = kind;
  return e;
}

std::string_view EngineError::id() const { return rowOf(kind).id; }

std::string EngineError::userMessage() const {
  const std::string_view pattern = rowOf(kind).pattern;
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const std::size_t open = pattern.find('{', i);
    if (open == std::string_view::npos) break;
    const std::size_t close = pattern.find('}', open);
    out.append(pattern.substr(i, open - i));
    out += slotValue(*this, pattern.substr(open + 1, close - open - 1));
    i = close + 1;
  }
  out.append(pattern.substr(i));
  return out;
}

EngineError engineErrorOf(const platform::ToolFailure& failure) {
  using Kind = platform::ToolFailure::Kind;
  switch (failure.kind) {
    case Kind::kTimedOut:
      return EngineError::timedOut(failure.shortName,
                                   static_cast<double>(failure.deadline.count()));
    case Kind::kExited:
      return EngineError::subprocessFailed(failure.shortName, failure.exitCode, failure.detail);
    case Kind::kFailedToStart: break;
  }
  return EngineError::message(failure.shortName + " could not be started (" + failure.detail +
                              "), so nothing was changed by it.");
}

}  // namespace brimvale::apps
