#include "app/cli/jobs_entry.h"

#include <algorithm>

#include "app/cli/json_option.h"
#include "app/core/state_json.h"
#include "platform/byte_count_format.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {
namespace {

struct JobsOptions {
  bool json = false;
};

void options(CLI::App& sub, JobsOptions& o) { jsonOption(sub, o.json); }

int jobs(CommandContext& c, JobsOptions& o) {
  transfers::BackgroundJobsStore ledger(c.paths.state, systemClock());
  const auto latest = transfers::latestPerKind(ledger.readJobs());
  const auto issues = ledger.readIssues();
  if (o.json) {
    c.out << jobsJson(latest, issues);
    return 0;
  }
  for (const auto& info : transfers::jobKinds()) {
    c.out << info.raw << " — " << info.description << "\n";
    auto job = std::find_if(latest.begin(), latest.end(),
                            [&](const auto& j) { return j.kind == info.kind; });
    if (job == latest.end()) {
      c.out << "  has not run yet\n";
      continue;
    }
    c.out << "  last run " << job->lastRunAt << ": " << transfers::jobOutcomeRaw(job->lastOutcome)
          << " — " << job->lastSummary << "\n"
          << "  runs " << job->totalRuns << ", succeeded " << job->succeeded << ", failed "
          << job->failed << ", items " << job->itemsHandled << ", "
          << platform::formatFileByteCount(job->bytesHandled) << "\n";
    for (const auto& issue : issues) {
      if (issue.feature != info.raw) continue;
      c.out << "  issue (seen " << issue.count << "× since " << issue.firstSeen
            << "): " << issue.message << "\n";
    }
  }
  return 0;
}

}  // namespace

CommandEntry jobsEntry() {
  return commandEntry<JobsOptions>("jobs", "the background-job ledger, per kind of work", options,
                                   jobs);
}

}  // namespace brimvale::app
