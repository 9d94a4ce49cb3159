#include "common/base/injected_clock.h"

#ifdef BRIMVALE_TEST_HOOKS
#include <charconv>
#include <fstream>
#include <mutex>
#include <sstream>
#endif

namespace brimvale {

#ifdef BRIMVALE_TEST_HOOKS
namespace {

std::mutex gMutex;
std::string gFile;

}  // namespace

void takeClockOption(std::vector<std::string>& args) {
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (!it->starts_with(kClockFileOption)) continue;
    std::lock_guard lock(gMutex);
    gFile = it->substr(kClockFileOption.size());
    args.erase(it);
    return;
  }
}

std::optional<std::time_t> injectedNow() {
  std::string file;
  {
    std::lock_guard lock(gMutex);
    file = gFile;
  }
  if (file.empty()) return std::nullopt;
  std::ifstream in(file);
  std::string text;
  in >> text;
  long long seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<std::time_t>(seconds);
}
#endif

std::chrono::milliseconds minuteTimerInterval() {
  return injectedNow() ? std::chrono::seconds(1) : std::chrono::seconds(60);
}

}  // namespace brimvale
