#include "app/core/discover_command.h"

#include "app/core/json_output.h"

#include <nlohmann/json.hpp>

#include "common/base/text_formats.h"

namespace brimvale::app {

using nlohmann::json;

std::optional<std::string> discoverJson(const std::string& listDrives,
                                        const std::string& scanStorage) {
  json drives = json::parse(listDrives, nullptr, false);
  if (drives.is_discarded()) return std::nullopt;
  json folders = json::array();
  for (const auto line : splitLines(scanStorage)) {
    if (line.empty()) continue;
    json row = json::parse(line, nullptr, false);
    if (row.is_discarded()) return std::nullopt;
    folders.push_back(std::move(row));
  }
  return versionedText(json{{"drives", std::move(drives)}, {"folders", std::move(folders)}});
}

void ProbeRows::feed(std::string_view chunk) {
  pending_.append(chunk);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    json row = json::parse(std::string_view(pending_).substr(start, end - start), nullptr, false);
    if (row.is_object() && row.contains("path") && row.contains("size_bytes")) onProbe_(row);
  }
  pending_.erase(0, start);
}

int discoverCommand(ViewCommandHost& host) {
  if (!host.json) {
    host.out << "Drives that could hold your relocated folders:\n";
    const int drives = drivesViewCommand(host, {});
    host.out << "\nWhat takes the most space in your home folder:\n";
    const int scan = scanViewCommand(host, {});
    return drives != 0 || scan != 0 ? 1 : 0;
  }
  const ProcessResult drives = host.service({"list-drives"});
  const ProcessResult scan = host.service({"scan-storage"});
  for (const ProcessResult* r : {&drives, &scan}) {
    if (r->outcome != ProcessOutcome::kExited || r->exitCode != 0) {
      host.err << (r->outcome == ProcessOutcome::kExited ? r->err : serviceRunFailure(*r));
      host.err << "The drives and folders could not be listed; nothing was changed. Run "
                  "`brimvale self-check`, then try again.\n";
      return 1;
    }
  }
  const auto text = discoverJson(drives.out, scan.out);
  if (!text) {
    host.err << "The service's answer could not be read; nothing was changed. Run `brimvale "
                "self-check`, then try again.\n";
    return 1;
  }
  host.out << *text;
  return 0;
}

}  // namespace brimvale::app
