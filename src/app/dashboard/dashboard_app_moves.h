// Live news of app moves for the apps page, whichever process made them (the
// page, the command line, the reinstall monitor, another browser): the
// app-move records are looked at ten times a second while a page listens;
// each record that changed goes out as an event, and each move or move back
// that finished goes out under the engine's completion name, so the page
// follows it within 250 ms.
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

// What the watch keeps of one record between looks.
struct AppMoveSeen {
  std::string mark;  // differs whenever the record's state does
  apps::AppMovePhase phase = apps::AppMovePhase::kWriting;
  std::string statusMessage;
};
// By record id.
using AppMoveMarks = std::map<std::string, AppMoveSeen>;

[[nodiscard]] AppMoveMarks marksOf(const std::vector<apps::AppMoveManifest>& records);

struct AppMoveEvent {
  std::string name;
  nlohmann::json data;
};

// The events the records in `now` stand for since `before`: an
// "app-move-record" (id, name, original path, phase, whether it is still
// under way, its status or error) for each new or changed record, then the
// completion of each forward move that reached its end (committed or rolled
// back) and of each move back that recorded its outcome.
[[nodiscard]] std::vector<AppMoveEvent> appMoveEvents(
    const AppMoveMarks& before, const std::vector<apps::AppMoveManifest>& now);

// How often the records are looked at while a page listens.
inline constexpr std::chrono::milliseconds kAppMoveLookInterval{100};

class AppMoveWatch {
 public:
  // Adds its look to `poller`, which should look every kAppMoveLookInterval.
  AppMoveWatch(std::filesystem::path folder, web::EventStream& events, StatePoller& poller);

 private:
  void look();

  std::filesystem::path folder_;
  web::EventStream& events_;
  // Poller thread only: the folder's names, sizes and times, so an unchanged
  // folder costs one listing; and the records as seen at the last reading.
  std::string listing_;
  bool read_ = false;
  AppMoveMarks marks_;
};

}  // namespace brimvale::app
