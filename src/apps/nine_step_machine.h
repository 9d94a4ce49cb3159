// One forward app move, step by step: check, reserve, copy, verify, park the
// original, link, register, check the index, commit. The record is written
// before and after every step, so a crash at any point leaves a record that
// says where the bundle is; any failed step is undone in a fixed order.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apps/app_catalogue_entry.h"
#include "apps/app_classifier.h"
#include "apps/app_move_environment.h"
#include "apps/app_move_error.h"
#include "apps/app_move_manifest.h"
#include "common/base/mount_anchor.h"

namespace brimvale::apps {

// One queued or running move.
struct EngineJob {
  std::string id;  // canonical upper-case UUID; also the record's id
  AppEntry app;
  std::filesystem::path destinationRoot;  // <working folder>/Apps
  AppClassificationResult classification;
  bool overrideAccepted = false;

  [[nodiscard]] std::filesystem::path destinationBundle() const;
};

// The fresh record of a job, before step 1.
[[nodiscard]] AppMoveManifest initialManifest(const EngineJob& job, std::time_t now);

class NineStepMachine {
 public:
  NineStepMachine(const AppMoveEnvironment& env, EngineJob job);

  // Runs the nine steps. On a failure the move is rolled back before this
  // returns; the error is then what the user reads (rollbackIncomplete when
  // the original could not be put back). Nothing is written to the drive
  // unless it is still the file system mounted where it was at the start,
  // and what changed in the original while it was copied is copied again
  // (at most kCatchUpRounds rounds) before the original is parked, linked
  // to and deleted.
  [[nodiscard]] std::expected<void, EngineError> run();

  // Told of the copy's progress, on the calling thread.
  void setCopyObserver(platform::BundleCopyObserver observer) {
    copyObserver_ = std::move(observer);
  }
  [[nodiscard]] const AppMoveManifest& manifest() const { return manifest_; }
  [[nodiscard]] const EngineJob& job() const { return job_; }
  // Versions kept under a `.kept-<UTC stamp>` name (or left parked) because
  // they differ from the one that stays: an earlier copy found on the drive,
  // a copy the rollback could not match, an original written after its copy.
  [[nodiscard]] const std::vector<std::string>& kept() const { return kept_; }

 private:
  using Step = std::expected<void, EngineError>;
  Step step1Preflight();
  Step step2Reserve();
  Step step3Copy();
  Step step4Verify();
  Step step5Quarantine();
  Step step6Link();
  Step step7Register();
  Step step8SpotlightCheck();
  Step step9Commit();
  // Undoes the move; returns the error that replaces `failure` when the
  // original could not be put back.
  std::optional<EngineError> rollback(const EngineError& failure);
  // Writes the record; false (logged) when it could not be written.
  bool persist();
  // persist(), failing the step when the record could not be written.
  Step persistOrFail();
  // Fails unless the drive the job began on is still mounted and holds `onDrive`.
  Step driveHolds(const std::filesystem::path& onDrive) const;
  // Copies again what of `bundle` changed since the copy began.
  Step catchUpWith(const std::filesystem::path& bundle);
  // A copy at the destination that no live relocation uses is retired
  // against the original: removed when identical, else kept aside.
  Step clearEarlierCopy();
  void keep(const std::filesystem::path& path, const std::string& why);
  void breadcrumb(OrphanReason reason, const std::string& error);

  const AppMoveEnvironment& env_;
  EngineJob job_;
  AppMoveManifest manifest_;
  std::filesystem::path original_;
  std::filesystem::path destination_;
  platform::BundleCopyObserver copyObserver_;
  std::optional<MountAnchor> anchor_;
  // When the copy began; files of the original changed since are compared by their bytes.
  std::optional<std::chrono::system_clock::time_point> copyStarted_;
  std::vector<std::string> kept_;
};

}  // namespace brimvale::apps
