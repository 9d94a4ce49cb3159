#include "care/care_run.h"

#include <algorithm>
#include <charconv>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::care {
namespace {

// "`brim-vale reclaim trash` exited with 1 (last line of its output)".
std::string serviceProblem(const std::vector<std::string>& args, const ProcessResult& r) {
  std::string problem = "`brim-vale " + joinedWith(args, " ") + "` " + r.describe();
  const std::string output = r.out + r.err;
  const auto lines = splitLines(output);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const auto line = trimBlanks(*it);
    if (!line.empty()) return problem + " (" + std::string(line) + ")";
  }
  return problem;
}

// Runs one service command; the problem when it did not exit with 0.
std::optional<std::string> runToSuccess(const CareRoutines& routines,
                                        const std::vector<std::string>& args,
                                        std::string* output = nullptr) {
  ProcessResult r = routines.service(args);
  if (!r.succeeded()) return serviceProblem(args, r);
  if (output) *output = std::move(r.out);
  return std::nullopt;
}

std::optional<std::string> evictCloudRoots(const CareRoutines& routines) {
  std::string listing;
  if (auto problem = runToSuccess(routines, {"list-cloud-roots"}, &listing)) return problem;
  std::optional<std::string> firstProblem;
  for (std::string_view line : splitLines(listing)) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos || tab + 1 == line.size()) continue;
    auto problem = runToSuccess(routines, {std::string(kHostWords.cloudEvictionCommand),
                                           std::string(line.substr(tab + 1))});
    if (problem && !firstProblem) firstProblem = std::move(problem);
  }
  return firstProblem;
}

StepResult runReclaim(const CareStep& step, const CareRoutines& routines) {
  StepResult result{.step = step};
  const std::vector<std::string> args{"reclaim", std::string(rawString(step.category))};
  ProcessResult r = routines.service(args);
  const auto figures = parseReclaimResult(r.out);
  // A refusal is the service's own sentence, clearer than its exit status.
  result.refusal = reclaimRefusal(r.out).value_or("");
  if (!r.succeeded() || !figures || figures->category != step.category) {
    if (result.refusal.empty()) result.problem = serviceProblem(args, r);
    return result;
  }
  result.finished = result.refusal.empty();
  result.freedBytes = std::max<std::int64_t>(figures->bytes, 0);
  result.trashLeftAlone = figures->deleteDisabled;
  return result;
}

// Steps whose routine reports no figure: measured by the free space gained.
StepResult runMeasured(const CareStep& step, const CareRoutines& routines) {
  StepResult result{.step = step};
  const auto before = routines.internalFreeBytes();
  std::optional<std::string> problem;
  switch (step.kind) {
    case CareStep::Kind::kCachesAndRarelyUsedFiles:
      problem = runToSuccess(routines, {"free-space"});
      break;
    case CareStep::Kind::kOldLocalBackups: problem = routines.thinSnapshots(); break;
    case CareStep::Kind::kCloudOnlineOnly: problem = evictCloudRoots(routines); break;
    case CareStep::Kind::kReclaim: break;  // measured by its own figures (runReclaim)
  }
  const auto after = routines.internalFreeBytes();
  if (before && after) result.freedBytes = std::max<std::int64_t>(*after - *before, 0);
  result.finished = !problem;
  if (problem) result.problem = std::move(*problem);
  return result;
}

}  // namespace

KeptByExcludes keptByExcludesIn(const SizedPlan& plan) {
  KeptByExcludes kept;
  for (const auto& figures : plan.scan) {
    kept.items += static_cast<std::size_t>(figures.keptItems);
    kept.bytes += static_cast<std::uint64_t>(figures.keptBytes);
  }
  return kept;
}

Result<SizedPlan> sizePlan(const std::vector<CareStep>& plan, const ServiceCommandRunner& service,
                           bool withItems) {
  std::vector<std::string> args{"reclaim-scan"};
  if (withItems) args.emplace_back("--items");
  ProcessResult r = service(args);
  auto scan = parseReclaimScan(r.out);
  if (!r.succeeded() || scan.size() != 3) {
    return fail(Errc::kToolFailed, serviceProblem(args, r));
  }
  SizedPlan sized{.steps = sizedPlan(plan, scan), .scan = std::move(scan)};
  // Only what a step of the plan would clear: a category with nothing to
  // free or one the settings keep runs no step, so it deletes nothing.
  for (auto& item : parseReclaimItems(r.out)) {
    if (std::ranges::find(sized.steps, CareStep::reclaim(item.category)) != sized.steps.end()) {
      sized.items.push_back(std::move(item));
    }
  }
  return sized;
}

std::vector<StepResult> runSteps(const std::vector<CareStep>& steps, const CareRoutines& routines,
                                 const std::function<void(std::string_view)>& onStep) {
  std::vector<StepResult> results;
  for (const auto& step : steps) {
    if (!results.empty()) routines.pause(kPauseBetweenSteps);
    onStep(progressLine(step));
    results.push_back(step.kind == CareStep::Kind::kReclaim ? runReclaim(step, routines)
                                                            : runMeasured(step, routines));
  }
  return results;
}

CareOutcome outcomeOf(const std::vector<StepResult>& results, const SizedPlan& plan,
                      std::string allTimeText) {
  CareOutcome outcome{.allTimeText = std::move(allTimeText),
                      .untouchedTrashBytes = untouchedTrashBytes(plan.scan)};
  for (const auto& result : results) {
    outcome.freedBytes += result.freedBytes;
    if (result.trashLeftAlone) {
      for (const auto& f : plan.scan) {
        if (f.category == ReclaimCategory::kTrash) outcome.untouchedTrashBytes = f.bytes;
      }
    } else if (result.finished) {
      outcome.stepsRan.push_back(result.step);
    }
  }
  return outcome;
}

std::string problemLines(const std::vector<StepResult>& results) {
  std::string lines;
  for (const auto& result : results) {
    if (result.finished) continue;
    if (!result.refusal.empty()) {
      lines += "One step didn't clear everything (" + std::string(stepName(result.step)) +
               "): " + result.refusal + "\n";
      continue;
    }
    lines += "One step didn't finish (" + std::string(stepName(result.step)) +
             "): " + result.problem + ". Your files are safe; you can run Zozad Evev again.\n";
  }
  return lines;
}

Result<void> storeRunRecord(platform::UserDefaults& defaults, const CareRunRecord& record) {
  std::string coverage;
  for (const auto& step : record.coverage) {
    coverage += (coverage.empty() ? "" : ",") + std::string(stepRawString(step));
  }
  if (auto r = defaults.setString(kLastRunAtKey, isots(record.at)); !r) return r;
  if (auto r = defaults.setInt(kLastRunFreedBytesKey, record.freedBytes); !r) return r;
  if (auto r = defaults.setString(kLastRunCoverageKey, coverage); !r) return r;
  return defaults.setString(kLastSummaryKey, record.summary);
}

Result<std::int64_t> addToAllTimeSaved(const std::filesystem::path& file, std::int64_t bytes) {
  std::int64_t total = 0;
  if (pathExists(file).value_or(false)) {
    auto text = readFile(file);
    if (!text) return std::unexpected(text.error());
    const auto lines = splitLines(*text);
    const std::string_view number = lines.size() == 1 ? trimBlanks(lines[0]) : std::string_view();
    auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), total);
    if (err != std::errc() || end != number.data() + number.size() || number.empty()) {
      return fail(Errc::kParse, file.string() + " does not hold a byte count");
    }
  }
  total += std::max<std::int64_t>(bytes, 0);
  if (auto written = writeFileAtomically(file, std::to_string(total) + "\n"); !written) {
    return std::unexpected(written.error());
  }
  return total;
}

}  // namespace brimvale::care
