// One forward app move, step by step: check, reserve, copy, verify, park the
// original, link, register, check the index, commit. The record is written
// before and after every step, so a crash at any point leaves a record that
// says where the bundle is; any failed step is undone in a fixed order.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "apps/app_catalogue_entry.h"
#include "apps/app_classifier.h"
#include "apps/app_move_environment.h"
#include "apps/app_move_error.h"
#include "apps/app_move_manifest.h"
#include "apps/bundle_metrics.h"

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
  // the original could not be put back).
  [[nodiscard]] std::expected<void, EngineError> run();

  // Told of the copy's progress, on the calling thread.
  void setCopyObserver(platform::BundleCopyObserver observer) {
    copyObserver_ = std::move(observer);
  }
  [[nodiscard]] const AppMoveManifest& manifest() const { return manifest_; }
  [[nodiscard]] const EngineJob& job() const { return job_; }

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
  void persist();
  void breadcrumb(OrphanReason reason, const std::string& error);

  const AppMoveEnvironment& env_;
  EngineJob job_;
  AppMoveManifest manifest_;
  std::filesystem::path original_;
  std::filesystem::path destination_;
  platform::BundleCopyObserver copyObserver_;
};

}  // namespace brimvale::apps
