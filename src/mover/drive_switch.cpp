#include "mover/drive_switch.h"

#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "common/base/timestamps.h"
#include "mover/link_census.h"
#include "mover/safety_checks.h"
#include "mover/switch_links.h"
#include "mover/switch_refresh.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

struct StepInfo {
  SwitchStep step;
  std::string_view text;
  std::string_view stopPoint;  // passed once the step is complete
};
constexpr std::array<StepInfo, 6> kSteps{{
    {SwitchStep::kCheck, "Checking the copy…", "switch:checked"},
    {SwitchStep::kFind, "Finding what to move over…", "switch:found"},
    {SwitchStep::kProtected, "Asking for permission to update app links…", "switch:protected"},
    {SwitchStep::kLinks, "Updating links to the new drive…", "switch:linked"},
    {SwitchStep::kRecords, "Updating records…", "switch:recorded"},
    {SwitchStep::kCommit, "Switching to the new drive…", "switch:committed"},
}};

const StepInfo& infoOf(SwitchStep step) { return kSteps[static_cast<std::size_t>(step)]; }

std::optional<std::chrono::system_clock::time_point> startedAt(const std::string& text) {
  auto t = parseIsots(text);
  if (!t) return std::nullopt;
  return std::chrono::system_clock::from_time_t(*t);
}

// One run of the six steps, with the lock held by the caller.
class SwitchRun {
 public:
  SwitchRun(const StatePaths& paths, const SwitchSeams& seams, SwitchJob job)
      : paths_(paths), seams_(seams), job_(std::move(job)) {}

  SwitchOutcome run() {
    begin(SwitchStep::kCheck);
    if (auto refusal = copyRefusal(paths_, job_.route)) return refused(*refusal);
    end(SwitchStep::kCheck);

    begin(SwitchStep::kFind);
    auto places = linkPlaces();
    if (!places) return refused(places.error());
    LinksFound found = collectLinks(*places, job_.route);
    if (found.missingCopy) return refused("something didn't copy across");
    std::vector<LinkUpdate> protectedLinks, links;
    for (auto& u : found.updates) (seams_.mayWrite(u.link) ? links : protectedLinks).push_back(u);
    end(SwitchStep::kFind);

    if (!protectedLinks.empty()) {
      begin(SwitchStep::kProtected);
      for (const auto& u : protectedLinks) {
        if (auto stale = bringUpToDate(u)) return refused(*stale);
      }
      auto done = seams_.privileged(protectedLinks);
      if (!done)
        return refused("couldn't update protected app links (" + done.error().detail + ")");
      for (const auto& u : protectedLinks) {
        if (!pointsAt(u.link, u.newTarget)) return refused("couldn't update protected app links");
      }
      outcome_.linksUpdated += static_cast<int>(protectedLinks.size());
      end(SwitchStep::kProtected);
    }

    begin(SwitchStep::kLinks);
    removeSwapLeftovers(links, job_.route, seams_.files, seams_.diagnostics);
    for (const auto& u : links) {
      if (auto stale = bringUpToDate(u)) return refused(*stale);
      switch (swapLink(u, seams_.files, seams_.diagnostics)) {
        case SwapStage::kDone: ++outcome_.linksUpdated; break;
        case SwapStage::kNotPrepared:
          return refused("couldn't prepare a link at " + u.link.string());
        case SwapStage::kNotSwapped: return refused("couldn't update a link at " + u.link.string());
        case SwapStage::kReplacedMeanwhile: break;  // the check before the commit has the last word
      }
    }
    end(SwitchStep::kLinks);

    begin(SwitchStep::kRecords);
    RecordsTranslated records = translateRecords(paths_, job_.route);
    outcome_.recordsUpdated = records.rewritten;
    if (records.failedRecord) return refused("couldn't update the record " + *records.failedRecord);
    if (auto left = leftOnOldDrive()) return refused(*left);
    end(SwitchStep::kRecords);

    begin(SwitchStep::kCommit);
    ProcessResult commit = seams_.service({"transfer-commit"});
    if (!commit.succeeded()) {
      return refused(
          "the background service couldn't finish the switch (" + commit.describe() +
          (commit.out.empty() ? "" : ": " + commit.out.substr(0, commit.out.find('\n'))) + ")");
    }
    end(SwitchStep::kCommit);
    if (seams_.showStep) seams_.showStep(kSwitchDoneText);
    outcome_.end = SwitchEnd::kSwitched;
    return outcome_;
  }

 private:
  // Where links into the old working folder are: every place a move record
  // names, and every such link under the home folder, wherever a move left
  // it and whatever folder was renamed around it since. A home folder that
  // cannot be looked through whole is a refusal: a link missed there would
  // dangle once the old drive is gone.
  std::expected<std::vector<fs::path>, std::string> linkPlaces() const {
    std::vector<fs::path> places = relocatedPlaces(paths_);
    const LinksInto walk = linksInto(paths_.home, job_.route.oldWorking);
    if (!walk.complete()) return std::unexpected(unwalkable(walk));
    for (const LinkInto& l : walk.links) places.push_back(l.link);
    return places;
  }

  static std::string unwalkable(const LinksInto& walk) {
    return walk.unreadable.empty() ? std::string("looking for links to the old drive took too long")
                                   : "couldn't look through " + walk.unreadable.front().string() +
                                         " for links to the old drive";
  }

  // What the link leads to now, copied across where the new drive's copy is
  // older (a program wrote through the link after the transfer copied it).
  std::optional<std::string> bringUpToDate(const LinkUpdate& u) {
    const CopyRefresh refresh =
        refreshCopy(u.oldTarget, u.newTarget, ReplaceGuard({.copyStarted = job_.startedAt}));
    outcome_.keptAside.insert(outcome_.keptAside.end(), refresh.keptAside.begin(),
                              refresh.keptAside.end());
    if (refresh.error) return "couldn't bring the new drive's copy up to date: " + *refresh.error;
    return std::nullopt;
  }

  // The switch's promise, checked before the service is asked to commit:
  // nothing under the home folder, at a recorded place or in a record still
  // leads into the old working folder.
  std::optional<std::string> leftOnOldDrive() const {
    auto places = linkPlaces();
    if (!places) return places.error();
    const LinksFound left = collectLinks(*places, job_.route);
    if (!left.updates.empty()) {
      return std::to_string(left.updates.size()) + " link" + (left.updates.size() == 1 ? "" : "s") +
             " still lead to the old drive, " + left.updates.front().link.string() + " first";
    }
    if (auto record = recordNamingOldDrive(paths_, job_.route)) {
      return "the record " + *record + " still names the old drive";
    }
    return std::nullopt;
  }

  void begin(SwitchStep step) {
    outcome_.stoppedAt = step;
    if (seams_.showStep) seams_.showStep(infoOf(step).text);
  }
  static void end(SwitchStep step) { stopPoint(infoOf(step).stopPoint); }

  SwitchOutcome refused(std::string reason) {
    outcome_.end = SwitchEnd::kRefused;
    outcome_.reason = std::move(reason);
    return outcome_;
  }

  const StatePaths& paths_;
  const SwitchSeams& seams_;
  SwitchJob job_;
  SwitchOutcome outcome_;
};

}  // namespace

std::optional<SwitchJob> readSwitchJob(const StatePaths& paths) {
  auto job = readDriveTransferJob(paths.transferJobJson);
  if (!job) return std::nullopt;
  return SwitchJob{.kind = job->kind,
                   .phase = job->phase,
                   .destRoot = job->destRoot,
                   .route = {.oldWorking = job->sourceWorking,
                             .newWorking = job->destWorking,
                             .newVolumeUUID = job->destVolumeUUID},
                   .startedAt = startedAt(job->startedAt)};
}

std::string SwitchOutcome::text() const {
  std::string kept;
  if (!keptAside.empty()) {
    kept =
        "Files written after they were copied were copied across again; the new drive's "
        "older versions are kept beside them:\n";
    for (const auto& path : keptAside) kept += "  " + path.string() + "\n";
  }
  switch (end) {
    case SwitchEnd::kSwitched: return std::string(kSwitchedSentence) + "\n" + kept;
    case SwitchEnd::kNothingToSwitch: return reason + "\n";
    case SwitchEnd::kRefused: break;
  }
  std::string out = std::string(kSwitchFailedSentence) + "\nWhat stopped it: " + reason;
  if (!reason.ends_with('.')) out += '.';
  if (linksUpdated > 0) {
    out +=
        " The links already updated lead to their checked copies on the new drive and the "
        "others still lead to the old one, so every link works; run the switch again to "
        "finish.";
  }
  return out + "\n" + kept;
}

SwitchOutcome runDriveSwitch(const StatePaths& paths, const SwitchSeams& seams) {
  RelocatorLock lock(paths.state);
  if (auto taken = lock.acquire(seams.lockWait); !taken) {
    return {.end = SwitchEnd::kRefused, .reason = taken.error().detail};
  }
  std::optional<SwitchJob> job = readSwitchJob(paths);
  if (job && job->kind == kTransferKindSwitch && job->phase == TransferPhase::kDone) {
    return {.end = SwitchEnd::kSwitched};
  }
  if (!job || job->kind != kTransferKindSwitch || job->phase != TransferPhase::kCopied) {
    return {.end = SwitchEnd::kNothingToSwitch,
            .reason = "No transfer is waiting to switch over to a new drive. Nothing was changed."};
  }
  if (job->route.oldWorking.empty() || job->route.newWorking.empty()) {
    return {.end = SwitchEnd::kRefused, .reason = "the transfer doesn't name both drives' folders"};
  }
  return SwitchRun(paths, seams, std::move(*job)).run();
}

}  // namespace brimvale::mover
