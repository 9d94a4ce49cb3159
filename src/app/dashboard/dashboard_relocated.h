// The dashboard's relocated folders: the list with each one's integrity,
// what a move back would meet, bringing one home with its progress lines as
// events, and clearing away a broken one — all through `brimvale
// relocated`'s own code. Every change of the relocations, by this page or any
// other Brimvale process, goes out as a "relocationStateChanged" event.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/dashboard/dashboard_poller.h"
#include "app/dashboard/dashboard_sources.h"
#include "mover/manifest.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// The item id a request names (a whole id or the start of one); empty when
// it is missing or holds anything but letters, digits and dashes.
[[nodiscard]] std::string relocatedItemId(const nlohmann::json& body);

inline constexpr std::string_view kRelocationStateChanged = "relocationStateChanged";

// What the relocations' state is made of: each move record's id and phase (a
// move starting, ending, or its record going) and, for each finished
// relocation, whether its original place and its copy are there now (a copy
// deleted by hand, a drive unplugged).
[[nodiscard]] std::string relocationMark(const std::vector<mover::MoveManifest>& records);

class RelocatedRoutes {
 public:
  // Adds a look at the move records to `poller`.
  RelocatedRoutes(const DashboardSources& sources, web::DashboardServer& server,
                  StatePoller& poller);

 private:
  web::Reply list();
  web::Reply plan(const nlohmann::json& body);
  web::Reply moveBack(const nlohmann::json& body);
  web::Reply remove(const nlohmann::json& body);
  // Poller thread: posts the event when the records' mark changed.
  void look();

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  // Poller thread only: the record folder's listing, the records read at
  // that listing, and the mark last seen.
  std::filesystem::path records_;
  std::string listing_;
  std::vector<mover::MoveManifest> seen_;
  std::string mark_;
  bool read_ = false;
  JobThread moveBack_;  // last: joined first
};

}  // namespace brimvale::app
