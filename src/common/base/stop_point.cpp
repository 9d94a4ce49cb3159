#include "common/base/stop_point.h"

#ifdef BRIMVALE_TEST_HOOKS

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <mutex>
#include <thread>

namespace brimvale {
namespace {

// One armed option: the step, which time it is reached, and for a pause
// the flag file that lets the program go on.
struct Armed {
  std::string option;
  std::string step;
  std::string flag;  // empty: stop
  std::string mark;  // a stop creates MARK.reached first, for a test to tell it struck
  int occurrence = 1;
  int seen = 0;
};

std::mutex gStopMutex;
std::vector<Armed> gArmed;
std::atomic<bool> gAny{false};
std::atomic<bool> gQuitWhenIdle{false};

Armed parse(const std::string& option, std::string_view prefix) {
  Armed a;
  a.option = option;
  std::string text = option.substr(prefix.size());
  const auto at = text.find('@');
  if (prefix == kPauseAtOption && at == std::string::npos) return {};
  if (at != std::string::npos) {
    (prefix == kPauseAtOption ? a.flag : a.mark) = text.substr(at + 1);
    text.resize(at);
  }
  if (auto hash = text.find('#'); hash != std::string::npos) {
    std::from_chars(text.data() + hash + 1, text.data() + text.size(), a.occurrence);
    text.resize(hash);
  }
  a.step = text;
  return a;
}

void markReached(const std::string& flag) {
  const std::string reached = flag + ".reached";
  const int fd = ::open(reached.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

void waitForFlag(const std::string& flag) {
  markReached(flag);
  while (::access(flag.c_str(), F_OK) != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

void takeStopPointOption(std::vector<std::string>& args) {
  std::lock_guard lock(gStopMutex);
  for (auto it = args.begin(); it != args.end();) {
    if (*it == kQuitWhenIdleOption) {
      gQuitWhenIdle = true;
      it = args.erase(it);
      continue;
    }
    const std::string_view prefix = it->starts_with(kStopAfterOption) ? kStopAfterOption
                                    : it->starts_with(kPauseAtOption) ? kPauseAtOption
                                                                      : std::string_view();
    if (prefix.empty()) {
      ++it;
      continue;
    }
    if (Armed a = parse(*it, prefix); !a.step.empty()) gArmed.push_back(std::move(a));
    it = args.erase(it);
  }
  gAny = !gArmed.empty();
}

void stopPoint(std::string_view step) {
  if (!gAny.load()) return;
  std::string flag;
  {
    std::lock_guard lock(gStopMutex);
    for (Armed& a : gArmed) {
      if (step != a.step || ++a.seen != a.occurrence) continue;
      if (a.flag.empty()) {
        if (!a.mark.empty()) markReached(a.mark);
        ::kill(::getpid(), SIGKILL);
        ::pause();
      }
      flag = a.flag;
    }
  }
  // Waits outside the lock, so other threads passing other steps go on.
  if (!flag.empty()) waitForFlag(flag);
}

std::vector<std::string> armedStopPointOptions() {
  std::lock_guard lock(gStopMutex);
  std::vector<std::string> options;
  for (const Armed& a : gArmed) options.push_back(a.option);
  return options;
}

bool quitWhenIdle() { return gQuitWhenIdle.load(); }

}  // namespace brimvale

#endif
