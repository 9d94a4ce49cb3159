// `brimvale drives`, `drives assess PATH`, `drives select PATH`, `scan` and `drive-transfer
// status`: run one service subcommand and show its JSON answer in plain words, or pass it through
// unchanged with --json.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

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

// `scan`; 2 when anything follows it.
[[nodiscard]] int scanViewCommand(ViewCommandHost& host, const std::vector<std::string>& args);

// `drive-transfer status`; 2 for any other request.
[[nodiscard]] int driveTransferViewCommand(ViewCommandHost& host,
                                           const std::vector<std::string>& args);

}  // namespace brimvale::app
