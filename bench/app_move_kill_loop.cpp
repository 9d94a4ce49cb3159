// The app mover's kill loop over the command line: `brimvale apps move` and
// `brimvale apps move-back` are stopped with SIGKILL at every named step of a
// test build, the app is checked where the user looks for it, the command is
// run again and the app checked again. Prints the count of kill points tried
// and of bundles lost, which must be 0.
// Usage: app_move_kill_loop   (in a private mount namespace, as bench/run runs it)
#include <iostream>
#include <string>
#include <vector>

#include "app_move_scene.h"
#include "testing/base/temp_home.h"
#include "testing/base/tmpfs_drive.h"

int main() {
  using namespace brimvale;
  testing::TmpfsDrive drive("AppMoveKillLoop", "2g");
  if (!drive.mounted()) {
    std::cerr << drive.whyNot() << "\n";
    return 1;
  }
  testing::TempHome home(testing::StateFolder::kCreated);
  e2e::AppMoveScene scene(home, drive.path());
  if (!scene.ready()) {
    std::cerr << scene.whyNot() << "\n";
    return 1;
  }
  std::vector<std::string> points;
  for (int step = 1; step <= 9; ++step) points.push_back("app-move-step" + std::to_string(step));
  points.push_back("app-move-committed");
  points.push_back("app-move-copying#1");  // a bundle this small is copied in one report
  // Each write of the move's record, the new record complete but not yet in place.
  for (int n = 1; n <= 12; ++n) points.push_back("atomic-write:temp-written#" + std::to_string(n));
  for (const char* step : {"app-move-back-copying#1", "app-move-back-staged",
                           "app-move-back-unlinked", "app-move-back-renamed"}) {
    points.push_back(step);
  }
  const e2e::KillLoopTally tally = e2e::runAppMoveKillLoop(scene, points, &std::cout);
  std::cout << "kill points tried: " << tally.tried << ", not reached: " << tally.notReached
            << ", bundles lost: " << tally.lost << "\n";
  return tally.lost == 0 ? 0 : 1;
}
