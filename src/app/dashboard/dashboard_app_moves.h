// Live news of app moves the page did not start (from the command line, the
// reinstall monitor, another browser): the app-move records are looked at
// while a page listens, and each record that changed goes out as an event.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/dashboard/dashboard_poller.h"
#include "apps/app_move_manifest.h"
#include "web/event_stream.h"

namespace brimvale::app {

// What distinguishes one state of a record from the next, by record id.
using AppMoveMarks = std::map<std::string, std::string>;

[[nodiscard]] AppMoveMarks marksOf(const std::vector<apps::AppMoveManifest>& records);

// The records in `now` that are new or changed since `before`, as the
// events' data: id, name, original path, phase, whether it is still under
// way, and its status or error.
[[nodiscard]] std::vector<nlohmann::json> changedAppMoves(
    const AppMoveMarks& before, const std::vector<apps::AppMoveManifest>& now);

class AppMoveWatch {
 public:
  // Adds its look to `poller`; events go to `events` as "app-move-record".
  AppMoveWatch(std::filesystem::path folder, web::EventStream& events, StatePoller& poller);

 private:
  void look();

  std::filesystem::path folder_;
  web::EventStream& events_;
  // Poller thread only: the folder's names, sizes and times, so an unchanged
  // folder costs one listing; and the records' marks at the last reading.
  std::string listing_;
  bool read_ = false;
  AppMoveMarks marks_;
};

}  // namespace brimvale::app
