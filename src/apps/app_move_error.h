// Why an app move, a move back or a rollback stopped, as a case the engine can
// branch on and the one sentence the user reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/app_relocation_tools.h"

namespace brimvale::apps {

// Declaration order is stable; ids are logged and never change.
enum class EngineErrorKind {
  kMessage,
  kEnumerationFailed,
  kTimedOut,
  kSubprocessFailed,
  kXattrFailed,
  kManifestNotFound,
  kNotCompleted,
  kNvmeCopyMissing,
  kDestinationOccupied,
  kSourceMissing,
  kAlreadySymlink,
  kNotABundle,
  kNvmeCopyExists,
  kWorkingFolderMissing,
  kRollbackIncomplete,
  kRsyncMissing,
  kHashMismatch,
  kAdminCancelled,
};

// The payload of every case; each case reads only the fields its sentence names.
struct EngineError {
  EngineErrorKind kind = EngineErrorKind::kMessage;
  std::string text;  // kMessage; a path for the path cases; the phase for kNotCompleted
  std::string name;  // tool or attribute name
  double seconds = 0;
  std::int32_t exit = 0;
  std::string detail;  // tool standard error, xattr error, or rollback's underlying error
  std::string quarantinePath;
  std::string sourcePath;

  static EngineError message(std::string text);
  static EngineError withPath(EngineErrorKind kind, std::string path);
  static EngineError timedOut(std::string name, double seconds);
  static EngineError subprocessFailed(std::string name, std::int32_t exit, std::string stderrText);
  static EngineError xattrFailed(std::string name, std::string error);
  static EngineError notCompleted(std::string phase);
  static EngineError rollbackIncomplete(std::string quarantinePath, std::string source,
                                        std::string underlying);
  static EngineError plain(EngineErrorKind kind);

  // Stable identifier, e.g. "sourceMissing".
  [[nodiscard]] std::string_view id() const;
  // The sentence the user reads.
  [[nodiscard]] std::string userMessage() const;
};

// How a tool step that did not succeed is told: an overrun deadline as
// timedOut, a non-zero exit as subprocessFailed, a tool that never started as
// a message naming the tool and why.
[[nodiscard]] EngineError engineErrorOf(const platform::ToolFailure& failure);

}  // namespace brimvale::apps
