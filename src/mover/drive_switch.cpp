#include "mover/drive_switch.h"

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "mover/safety_checks.h"
#include "mover/switch_links.h"

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

std::string textOf(const nlohmann::json& doc, const char* key) {
  auto v = doc.find(key);
  return v != doc.end() && v->is_string() ? v->get<std::string>() : std::string();
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
    LinksFound found = collectLinks(relocatedPlaces(paths_), job_.route);
    if (found.missingCopy) return refused("something didn't copy across");
    std::vector<LinkUpdate> protectedLinks, links;
    for (auto& u : found.updates) (seams_.mayWrite(u.link) ? links : protectedLinks).push_back(u);
    end(SwitchStep::kFind);

    if (!protectedLinks.empty()) {
      begin(SwitchStep::kProtected);
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
      switch (swapLink(u, seams_.files, seams_.diagnostics)) {
        case SwapStage::kDone: ++outcome_.linksUpdated; break;
        case SwapStage::kNotPrepared:
          return refused("couldn't prepare a link at " + u.link.string());
        case SwapStage::kNotSwapped: return refused("couldn't update a link at " + u.link.string());
      }
    }
    end(SwitchStep::kLinks);

    begin(SwitchStep::kRecords);
    RecordsTranslated records = translateRecords(paths_, job_.route);
    outcome_.recordsUpdated = records.rewritten;
    if (records.failedRecord) return refused("couldn't update the record " + *records.failedRecord);
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

std::string_view switchStepText(SwitchStep step) { return infoOf(step).text; }

std::optional<SwitchJob> readSwitchJob(const StatePaths& paths) {
  auto text = readFile(paths.state / "transfer-job.json");
  if (!text) return std::nullopt;
  auto doc = nlohmann::json::parse(*text, nullptr, false);
  if (!doc.is_object()) return std::nullopt;
  return SwitchJob{.kind = textOf(doc, "kind"),
                   .phase = textOf(doc, "phase"),
                   .destRoot = textOf(doc, "destRoot"),
                   .route = {.oldWorking = textOf(doc, "sourceWorking"),
                             .newWorking = textOf(doc, "destWorking"),
                             .newVolumeUUID = textOf(doc, "destVolumeUUID")}};
}

std::string SwitchOutcome::text() const {
  switch (end) {
    case SwitchEnd::kSwitched: return std::string(kSwitchedSentence) + "\n";
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
  return out + "\n";
}

SwitchOutcome runDriveSwitch(const StatePaths& paths, const SwitchSeams& seams) {
  RelocatorLock lock(paths.state);
  if (auto taken = lock.acquire(seams.lockWait); !taken) {
    return {.end = SwitchEnd::kRefused, .reason = taken.error().detail};
  }
  std::optional<SwitchJob> job = readSwitchJob(paths);
  if (job && job->kind == "transfer" && job->phase == "done") {
    return {.end = SwitchEnd::kSwitched};
  }
  if (!job || job->kind != "transfer" || job->phase != "copied") {
    return {.end = SwitchEnd::kNothingToSwitch,
            .reason = "No transfer is waiting to switch over to a new drive. Nothing was changed."};
  }
  if (job->route.oldWorking.empty() || job->route.newWorking.empty()) {
    return {.end = SwitchEnd::kRefused, .reason = "the transfer doesn't name both drives' folders"};
  }
  return SwitchRun(paths, seams, std::move(*job)).run();
}

}  // namespace brimvale::mover
