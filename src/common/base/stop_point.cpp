#include "common/base/stop_point.h"

#ifdef BRIMVALE_TEST_HOOKS

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <mutex>

namespace brimvale {
namespace {

std::mutex gMutex;
std::string gOption;
std::string gStep;
int gOccurrence = 1;
int gSeen = 0;
std::atomic<bool> gArmed{false};

}  // namespace

void takeStopPointOption(std::vector<std::string>& args) {
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (!it->starts_with(kStopAfterOption)) continue;
    std::string armed = it->substr(kStopAfterOption.size());
    std::lock_guard lock(gMutex);
    gOption = *it;
    args.erase(it);
    gOccurrence = 1;
    if (auto hash = armed.find('#'); hash != std::string::npos) {
      std::from_chars(armed.data() + hash + 1, armed.data() + armed.size(), gOccurrence);
      armed.resize(hash);
    }
    gStep = armed;
    gSeen = 0;
    gArmed = !gStep.empty();
    return;
  }
}

void stopPoint(std::string_view step) {
  if (!gArmed.load()) return;
  std::lock_guard lock(gMutex);
  if (step != gStep || ++gSeen != gOccurrence) return;
  ::kill(::getpid(), SIGKILL);
  ::pause();
}

std::string armedStopPointOption() {
  if (!gArmed.load()) return {};
  std::lock_guard lock(gMutex);
  return gOption;
}

}  // namespace brimvale

#endif
