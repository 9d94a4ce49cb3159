// `brimvale discover`: the drives that could hold relocated folders, with
// their verdicts, and what takes the most space in the home folder, in one
// view (both from the service: `list-drives` and `scan-storage`).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/core/service_view_command.h"

namespace brimvale::app {

// {"drives": the `list-drives` answer, "folders": each `scan-storage` line},
// pretty-printed; nothing when an answer is not JSON.
[[nodiscard]] std::optional<std::string> discoverJson(const std::string& listDrives,
                                                      const std::string& scanStorage);

// Reads `scan-storage`'s output as it arrives in pieces of any size and
// hands on each probe's row the moment its line is complete; the "started"
// and "done" lines and anything that is not JSON are not probes.
class ProbeRows {
 public:
  explicit ProbeRows(std::function<void(const nlohmann::json&)> onProbe)
      : onProbe_(std::move(onProbe)) {}
  void feed(std::string_view chunk);

 private:
  std::function<void(const nlohmann::json&)> onProbe_;
  std::string pending_;
};

// The two views one after the other, or with `host.json` their answers in
// one JSON object. 1 when either service run failed (its sentence on `err`).
[[nodiscard]] int discoverCommand(ViewCommandHost& host);

}  // namespace brimvale::app
