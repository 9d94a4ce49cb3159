#include "app/core/service_view_command.h"

#include "app/core/folder_growth.h"
#include "app/core/json_output.h"
#include "common/base/file_io.h"

namespace brimvale::app {
namespace {

// The text lists this many of the folders that grew; --json lists them all.
constexpr std::size_t kShownGrowth = 10;

// The service's answer, or nothing once a sentence saying why has been printed.
std::optional<ProcessResult> answer(ViewCommandHost& host, const std::vector<std::string>& args) {
  ProcessResult run = host.service(args);
  if (run.outcome == ProcessOutcome::kExited) return run;
  host.err << run.err << serviceRunFailure(run);
  return std::nullopt;
}

int unreadable(ViewCommandHost& host, const ProcessResult& run, const Error& error) {
  host.err << run.err << "Brimvale couldn't read the background service's answer (" << error.detail
           << "). Nothing was changed; run `brimvale self-check`, then try again.\n";
  return 1;
}

// With --json the answer goes out exactly as the service gave it.
int passedThrough(ViewCommandHost& host, const ProcessResult& run) {
  host.out << run.out;
  host.err << run.err;
  return run.exitCode;
}

// Shows the rendered answer; the exit status stays the service's.
int shown(ViewCommandHost& host, const ProcessResult& run, const Result<std::string>& text) {
  if (!text) return unreadable(host, run, text.error());
  host.out << *text;
  return run.exitCode;
}

int listDrives(ViewCommandHost& host) {
  auto run = answer(host, {"list-drives"});
  if (!run) return 1;
  if (host.json) return passedThrough(host, *run);
  auto drives = decodeDriveList(run->out);
  if (!drives) return unreadable(host, *run, drives.error());
  std::vector<std::string> verdicts;
  for (const auto& drive : *drives) {
    auto assessed = answer(host, {"assess", drive.path});
    if (!assessed) return 1;
    verdicts.push_back(assessmentVerdict(assessed->out).value_or("unknown"));
  }
  host.out << renderDriveTable(*drives, verdicts);
  return run->exitCode;
}

int usage(ViewCommandHost& host, const std::string& expected) {
  host.err << "Say what to show: " << expected << ". Nothing was changed.\n";
  return 2;
}

}  // namespace

std::string serviceRunFailure(const ProcessResult& run) {
  return "The background service command " + run.describe() +
         ". Your data is safe; run it again, or check ~/.brimvale/brim-vale.log.\n";
}

// The service's words go out as they are: they say what changed and what to do next.
int selectDrive(ViewCommandHost& host, const std::string& path) {
  auto run = answer(host, {"select-drive", path});
  if (!run) return 1;
  return passedThrough(host, *run);
}

int drivesViewCommand(ViewCommandHost& host, const std::vector<std::string>& args) {
  if (args.empty()) return listDrives(host);
  const bool oneDrive = args.size() == 2 && !args[1].empty();
  if (oneDrive && args[0] == "select") return selectDrive(host, args[1]);
  if (args[0] != "assess" || !oneDrive) {
    return usage(host,
                 "`brimvale drives` for the list, `brimvale drives assess PATH` for one "
                 "drive, or `brimvale drives select PATH` to use it");
  }
  auto run = answer(host, {"assess", args[1]});
  if (!run) return 1;
  if (host.json) return passedThrough(host, *run);
  return shown(host, *run, renderAssessment(args[1], run->out));
}

// The service's scan, kept once it is read whole; nothing once a sentence saying why has been
// printed.
std::optional<ProcessResult> keptScan(ViewCommandHost& host, const ScanView& view) {
  auto run = answer(host, {"scan-storage"});
  if (!run || run->exitCode != 0) return run;
  if (const auto sizes = parseScanSizes(run->out); sizes && view.keep) view.keep(*sizes, run->out);
  return run;
}

int scanViewCommand(ViewCommandHost& host, const std::vector<std::string>& args,
                    const ScanView& view) {
  if (!args.empty()) return usage(host, "`brimvale scan` alone, which takes no words after it");
  auto run = keptScan(host, view);
  if (!run) return 1;
  if (host.json) return passedThrough(host, *run);
  return shown(host, *run, renderStorageScan(run->out, host.terminal, view.order, view.changedAt));
}

int scanCompareCommand(ViewCommandHost& host, const ScanView& view, const ScanComparison& c) {
  std::filesystem::path baseline = c.file;
  if (baseline.empty()) {
    const auto saved = savedScanAtOrBefore(c.savedScans, c.now - c.days * std::time_t{86400});
    if (!saved) {
      host.err << "No scan from " << c.days << (c.days == 1 ? " day" : " days")
               << " ago or earlier is kept yet, so there is nothing to compare with. Your files "
                  "were not touched; each `brimvale scan` keeps its sizes, so compare again "
                  "later, or choose a shorter span with --days.\n";
      return 1;
    }
    baseline = *saved;
  }
  auto text = readFile(baseline);
  auto then = text ? parseScanSizes(*text) : std::unexpected(text.error());
  if (!then) {
    host.err << "The earlier scan " << baseline.string() << " couldn't be read ("
             << then.error().detail
             << "). Nothing was measured or changed; compare with a file that `brimvale scan "
                "--json` wrote, whole.\n";
    return 1;
  }
  auto run = keptScan(host, view);
  if (!run) return 1;
  if (run->exitCode != 0) return passedThrough(host, *run);
  auto now = parseScanSizes(run->out);
  if (!now) return unreadable(host, *run, now.error());
  GrowthReport report = compareScans(*then, *now);
  report.baseline = baseline.string();
  host.err << run->err;
  host.out << (host.json ? versionedText(growthJson(report)) : renderGrowth(report, kShownGrowth));
  return 0;
}

int driveTransferViewCommand(ViewCommandHost& host, const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0] != "status") {
    return usage(host, "`brimvale drive-transfer status` for the transfer's progress");
  }
  auto run = answer(host, {"transfer-status"});
  if (!run) return 1;
  if (host.json) return passedThrough(host, *run);
  return shown(host, *run, renderTransferStatus(run->out));
}

}  // namespace brimvale::app
