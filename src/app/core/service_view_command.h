// `brimvale drives`, `drives assess PATH`, `drives select PATH`, `scan` and `drive-transfer
// status`: run one service subcommand and show its JSON answer in plain words, or pass it through
// unchanged with --json.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/saved_scans.h"
#include "app/core/service_view.h"
#include "common/base/process.h"

namespace brimvale::app {

struct ViewCommandHost {
  // Runs one service subcommand under the command's time limit.
  std::function<ProcessResult(const std::vector<std::string>&)> service;
  bool json = false;      // pass the service's answer through unchanged
  bool terminal = false;  // standard output is a terminal: bars in block characters
  std::ostream& out;
  std::ostream& err;
};

// The sentence for a service run that did not exit on its own (killed, timed
// out, not started).
[[nodiscard]] std::string serviceRunFailure(const ProcessResult& run);

// `drives` (the list, each with its verdict), `drives assess PATH` or
// `drives select PATH` (the service's select-drive, its words and status
// unchanged); 2 for any other request.
[[nodiscard]] int drivesViewCommand(ViewCommandHost& host, const std::vector<std::string>& args);

struct ScanView {
  ListingOrder order = ListingOrder::kSize;
  ChangeTimeOf changedAt = {};  // for the age order
  // Keeps a finished scan's sizes (its parsed lines and the lines); empty: not kept.
  std::function<void(const ScanSizes&, std::string_view)> keep = {};
};

// `scan`; 2 when anything follows it.
[[nodiscard]] int scanViewCommand(ViewCommandHost& host, const std::vector<std::string>& args,
                                  const ScanView& view = {});

// What `scan --compare` compares a new scan with: a saved `scan --json`
// output, or else the newest scan kept in `savedScans` at least `days` days
// before `now`.
struct ScanComparison {
  std::filesystem::path file;
  std::filesystem::path savedScans;
  int days = 7;
  std::time_t now = 0;
};

// Reads the earlier scan first (1, nothing measured, when it is missing or
// damaged), then scans, keeps the new scan and shows what grew.
[[nodiscard]] int scanCompareCommand(ViewCommandHost& host, const ScanView& view,
                                     const ScanComparison& comparison);

// `drive-transfer status`; 2 for any other request.
[[nodiscard]] int driveTransferViewCommand(ViewCommandHost& host,
                                           const std::vector<std::string>& args);

}  // namespace brimvale::app
