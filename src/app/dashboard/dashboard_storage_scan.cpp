#include "app/dashboard/dashboard_storage_scan.h"

#include <limits>

#include "app/core/discover_command.h"
#include "app/core/folder_growth.h"
#include "app/core/listing_order.h"
#include "app/core/saved_scans.h"
#include "app/core/service_command.h"
#include "app/core/service_view_command.h"
#include "common/base/best_effort.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

// A home folder with a great deal in it takes a while to measure.
constexpr std::chrono::seconds kScanLimit{600};
constexpr std::string_view kScanBusy =
    "The folders are already being measured. Nothing new was started; the bars fill in as each "
    "is measured.";
constexpr std::string_view kFailed =
    "The folders couldn't be measured. Nothing was changed; run `brimvale self-check`, then try "
    "again.";

Result<ScanSizes> readKeptScan(const std::filesystem::path& file) {
  auto text = readFile(file);
  if (!text) return std::unexpected(text.error());
  return parseScanSizes(*text);
}

}  // namespace

StorageScanRoutes::StorageScanRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources), server_(server) {
  server_.post("storage/scan", [this](const json&) {
    if (!job_.start([this] { scan(); })) return web::sentenceReply(409, std::string(kScanBusy));
    return web::jsonReply({{"started", true}}, 202);
  });
  server_.get("storage/growth", [this] { return web::jsonReply(growth()); });
}

json StorageScanRoutes::growth() const {
  const auto folder = sources_.paths.state / kSavedScansFolder;
  const auto newest = savedScanAtOrBefore(folder, std::numeric_limits<std::time_t>::max());
  if (!newest) {
    return {{"note",
             "No scan is kept yet. Measure the folders now and again in a few days to see what "
             "grew."}};
  }
  auto now = readKeptScan(*newest);
  const auto earlier =
      now ? savedScanAtOrBefore(folder, now->at - kDefaultCompareDays * std::time_t{86400})
          : std::nullopt;
  if (now && !earlier) {
    return {{"note", "What grew shows once a scan from " + std::to_string(kDefaultCompareDays) +
                         " days before the latest is kept; the latest is from " +
                         localMinute(now->at) + ". Measure the folders again in a few days."}};
  }
  auto then = now ? readKeptScan(*earlier) : std::unexpected(now.error());
  if (!then) {
    return {{"note", "A kept scan couldn't be read (" + then.error().detail +
                         "). Your files were not touched; measure the folders again."}};
  }
  GrowthReport report = compareScans(*then, *now);
  report.baseline = earlier->string();
  return growthJson(report);
}

void StorageScanRoutes::scan() {
  auto& events = server_.events();
  events.publish("scan-start", "{}");
  ProbeRows rows([&](const json& row) {
    json shown = row;
    // The page orders the rows by age too.
    if (const auto changed = folderChangedAt(row.value("path", "")))
      shown["changedEpoch"] = *changed;
    events.publish("scan-probe", shown.dump());
  });
  const ProcessResult run = runServiceCommand(platform::runnerOf(sources_.launcher), sources_.paths,
                                              sources_.rsyncPath, {"scan-storage"}, kScanLimit,
                                              [&](std::string_view chunk) { rows.feed(chunk); });
  if (run.outcome != ProcessOutcome::kExited || run.exitCode != 0) {
    const std::string why =
        run.outcome == ProcessOutcome::kExited ? run.err : serviceRunFailure(run);
    events.publish("scan-done", json{{"problem", std::string(kFailed) + " " + why}}.dump());
    return;
  }
  if (const auto sizes = parseScanSizes(run.out)) {
    bestEffort(keepScan(sources_.paths, *sizes, run.out),
               DiagnosticsLog(sources_.paths.diagnosticsLog), "keeping the scan's folder sizes");
  }
  // The last line counts what was measured.
  json done = json::object();
  for (const auto line : splitLines(run.out)) {
    json row = json::parse(line, nullptr, false);
    if (row.is_object() && row.value("phase", "") == "done") done = row;
  }
  events.publish("scan-done", json{{"probed", done.value("probed", 0)},
                                   {"total_bytes", done.value("total_bytes", 0)}}
                                  .dump());
}

}  // namespace brimvale::app
