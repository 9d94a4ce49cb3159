#include "mover/safety_checks.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "mover/manifest.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

std::string entryNameOf(const std::string& rel) {
  return rel.empty() ? "(top-level directory)" : rel;
}

}  // namespace

std::string ageText(std::int64_t s) {
  if (s < 60) return std::to_string(s) + "s ago";
  if (s < 3600) return std::to_string(s / 60) + "m ago";
  if (s < 86400) {
    const auto h = s / 3600, m = (s % 3600) / 60;
    return m == 0 ? std::to_string(h) + "h ago"
                  : std::to_string(h) + "h " + std::to_string(m) + "m ago";
  }
  return std::to_string(s / 86400) + "d ago";
}

std::string RecentWriteReport::message() const {
  const double hoursLeft =
      static_cast<double>(windowHours) - static_cast<double>(ageSeconds) / 3600.0;
  const auto n = static_cast<long long>(std::ceil(hoursLeft));
  std::string retry = n < 1    ? "Try again shortly."
                      : n == 1 ? "Try again in about 1 hour."
                               : "Try again in about " + std::to_string(n) + " hours.";
  return "Recent activity detected in source: " + path + " was modified " + ageText(ageSeconds) +
         ". The mover refuses to start while the source is still being written. " + retry +
#ifdef __APPLE__
         " To override, enable \u201CBypass recent-write guard\u201D in Tier preferences.";
#else
         " To move it anyway, run the same command with --bypass-recent-write-guard; to turn the "
         "guard off for every move, run `brimvale settings mover.recent-write-guard off`.";
#endif
}

RecentWriteReport recentWriteReport(const fs::path& folder, int windowHours, std::time_t now) {
  if (windowHours <= 0) return recentWriteReport(std::nullopt, windowHours, now);
  return recentWriteReport(surveyTree(folder), windowHours, now);
}

RecentWriteReport recentWriteReport(const std::optional<TreeSurvey>& survey, int windowHours,
                                    std::time_t now) {
  RecentWriteReport report;
  report.windowHours = windowHours;
  if (windowHours <= 0 || !survey) return report;
  const std::time_t newest = survey->newestSeconds;
  report.path = entryNameOf(survey->newestPath);
  report.modifiedAt = newest;
  report.ageSeconds = std::max<std::int64_t>(0, now - newest);
  report.triggered = newest > now - static_cast<std::time_t>(windowHours) * 3600;
  return report;
}

std::vector<fs::path> caseProbeFolders(const fs::path& volumeRoot, const fs::path& home) {
  if (volumeRoot == "/" || volumeRoot.empty()) {
    std::error_code ec;
    fs::create_directories(home / ".brimvale", ec);
    return {home / ".brimvale"};
  }
  return {volumeRoot, volumeRoot / ".Trashes", volumeRoot / "private" / "tmp"};
}

VolumeCaseSensitivity caseSensitivity(const std::vector<fs::path>& folders) {
  for (const auto& folder : folders) {
    if (access(folder.c_str(), W_OK) != 0) continue;
    const std::string stem = ".brimvale-case-probe-" + newUuid();
    const fs::path mixed = folder / (stem + "-MiXeD.tmp");
    {
      std::ofstream out(mixed, std::ios::binary);
      out << "probe";
      if (!out) return VolumeCaseSensitivity::kUnknown;
    }
    std::error_code ec;
    const bool twin = fs::exists(folder / (stem + "-mixed.tmp"), ec);
    fs::remove(mixed, ec);
    return twin ? VolumeCaseSensitivity::kInsensitive : VolumeCaseSensitivity::kSensitive;
  }
  return VolumeCaseSensitivity::kUnknown;
}

std::vector<CaseCollision> caseCollisions(const fs::path& folder) {
  std::vector<CaseCollision> out;
  std::vector<fs::path> folders{folder};
  while (!folders.empty()) {
    fs::path dir = folders.back();
    folders.pop_back();
    std::map<std::string, std::string> seen;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      std::string key = name;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto [prev, fresh] = seen.emplace(key, it->path().string());
      if (!fresh) out.push_back({prev->second, it->path().string()});
      if (it->is_directory(ec) && !it->is_symlink(ec)) folders.push_back(it->path());
    }
  }
  return out;
}

RelocatorLock::RelocatorLock(fs::path stateDir) : file_(fileIn(stateDir)) {}

fs::path RelocatorLock::fileIn(const fs::path& stateDir) {
  return stateDir / "apps-relocator" / ".lock";
}

Result<void> RelocatorLock::acquire(std::chrono::milliseconds timeout) {
  if (lock_.locked()) return {};
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  auto opened = FileLock::open(file_);
  if (!opened) {
    return fail(Errc::kIo,
                "Apps Relocator: cannot open lock file (" + opened.error().detail + ").");
  }
  lock_ = std::move(*opened);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + timeout;
  bool retriedStale = false;
  while (true) {
    auto taken = lock_.tryLock();
    if (taken && *taken) {
      lock_.recordHolder();
      return {};
    }
    if (!taken) {
      const std::string why = taken.error().detail;
      release();
      return fail(Errc::kIo, "Apps Relocator: flock failed (" + why + ").");
    }
    const long holder = lock_.holder();
    if (holder > 0 && kill(holder, 0) != 0 && errno == ESRCH && !retriedStale) {
      retriedStale = true;  // the recorded holder is gone: try again at once
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      const auto waited = std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::steady_clock::now() - start);
      release();
      return fail(Errc::kTimedOut,
                  "Apps Relocator: another relocate operation is in progress (waited " +
                      std::to_string(waited.count()) + "s).");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void RelocatorLock::release() { lock_ = FileLock(); }

void ActiveMoveTracker::add(MoveDirection direction, const std::string& id) {
  (direction == MoveDirection::kForward ? forward_ : back_).insert(id);
}

void ActiveMoveTracker::remove(MoveDirection direction, const std::string& id) {
  (direction == MoveDirection::kForward ? forward_ : back_).erase(id);
}

}  // namespace brimvale::mover
