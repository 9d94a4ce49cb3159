// A note left in state/orphan-manifests/<id>.json when the app mover could not
// put an original bundle back: where the bundle is and how to restore it.
#pragma once

#include <array>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/raw_names.h"

namespace brimvale::apps {

enum class OrphanReason {
  kRollbackRestoreFailed,
  kRollbackPostRestoreInvalid,
  kRollbackConcurrentRestore,
  kRecoveryRestoreFailed,
  kCaseCQuarantineFailed,
  kStageRenameFailed,
};
inline constexpr std::array<RawName<OrphanReason>, 6> kOrphanReasonNames{{
    {OrphanReason::kRollbackRestoreFailed, "rollback_restore_failed"},
    {OrphanReason::kRollbackPostRestoreInvalid, "rollback_post_restore_invalid"},
    {OrphanReason::kRollbackConcurrentRestore, "rollback_concurrent_restore"},
    {OrphanReason::kRecoveryRestoreFailed, "recovery_restore_failed"},
    {OrphanReason::kCaseCQuarantineFailed, "case_c_quarantine_failed"},
    {OrphanReason::kStageRenameFailed, "stage_rename_failed"},
}};

struct OrphanBreadcrumb {
  std::string manifestID;
  std::string displayName;
  std::string bundleID;  // empty when the app has none
  std::string originalPath;
  std::string quarantinePath;
  std::string nvmePath;
  OrphanReason reason = OrphanReason::kRollbackRestoreFailed;
  std::string error;
  std::time_t createdAt = 0;
};

// state/orphan-manifests
[[nodiscard]] std::filesystem::path orphanManifestsFolder(const std::filesystem::path& stateDir);

// The restore instructions a person can follow by hand.
[[nodiscard]] std::string orphanInstructions(const std::string& quarantinePath,
                                             const std::string& originalPath);
// Pretty-printed JSON with sorted keys, ending in a newline.
[[nodiscard]] std::string encodeOrphanBreadcrumb(const OrphanBreadcrumb& crumb);
// Writes <folder>/<manifestID>.json atomically; returns its path.
[[nodiscard]] Result<std::filesystem::path> writeOrphanBreadcrumb(
    const std::filesystem::path& stateDir, const OrphanBreadcrumb& crumb);

}  // namespace brimvale::apps
