#include "app/dashboard/dashboard_storage_scan.h"

#include "app/core/discover_command.h"
#include "app/core/service_command.h"
#include "app/core/service_view_command.h"
#include "common/base/text_formats.h"

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

}  // namespace

StorageScanRoutes::StorageScanRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources), server_(server) {
  server_.post("storage/scan", [this](const json&) {
    if (!job_.start([this] { scan(); })) return web::sentenceReply(409, std::string(kScanBusy));
    return web::jsonReply({{"started", true}}, 202);
  });
}

void StorageScanRoutes::scan() {
  auto& events = server_.events();
  events.publish("scan-start", "{}");
  ProbeRows rows([&](const json& row) { events.publish("scan-probe", row.dump()); });
  const ProcessResult run = runServiceCommand(platform::runnerOf(sources_.launcher), sources_.paths,
                                              sources_.rsyncPath, {"scan-storage"}, kScanLimit,
                                              [&](std::string_view chunk) { rows.feed(chunk); });
  if (run.outcome != ProcessOutcome::kExited || run.exitCode != 0) {
    const std::string why =
        run.outcome == ProcessOutcome::kExited ? run.err : serviceRunFailure(run);
    events.publish("scan-done", json{{"problem", std::string(kFailed) + " " + why}}.dump());
    return;
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
