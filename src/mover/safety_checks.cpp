#include "mover/safety_checks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "common/process.h"
#include "mover/manifest.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

std::string nameOf(const std::string& rel) { return rel.empty() ? "(top-level directory)" : rel; }

}  // namespace

std::vector<FolderInUseEntry> parseInUseOutput(std::string_view output, int ownPid,
                                               const std::function<std::string(int)>& executableOf) {
  std::vector<std::pair<int, std::string>> processes;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line[0] == 'p') {
      try {
        processes.emplace_back(std::stoi(std::string(line.substr(1))), "");
      } catch (const std::exception&) {
      }
    } else if (line[0] == 'c' && !processes.empty()) {
      processes.back().second = std::string(line.substr(1));
    }
  }
  std::vector<FolderInUseEntry> out;
  std::map<std::string, std::size_t> byId;
  for (const auto& [pid, command] : processes) {
    if (pid == ownPid) continue;
    std::string exe = executableOf ? executableOf(pid) : std::string();
    std::string id = exe.empty() ? "pid-" + std::to_string(pid) : exe;
    auto [it, fresh] = byId.emplace(id, out.size());
    if (fresh) {
      out.push_back({id, command.empty() ? "Process " + std::to_string(pid) : command, std::nullopt, {}});
    }
    auto& entry = out[it->second];
    if (std::find(entry.pids.begin(), entry.pids.end(), pid) == entry.pids.end()) entry.pids.push_back(pid);
  }
  return out;
}

FolderInUseProbe::FolderInUseProbe(std::string lsofPath, std::chrono::milliseconds limit)
    : lsofPath_(std::move(lsofPath)), limit_(limit) {}

FolderInUseProbe FolderInUseProbe::procScanner(fs::path procRoot, std::chrono::milliseconds limit) {
  FolderInUseProbe probe("", limit);
  probe.procRoot_ = std::move(procRoot);
  return probe;
}

std::vector<FolderInUseEntry> FolderInUseProbe::scanProc(const std::string& folder) const {
  const fs::path proc = *procRoot_;
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(folder, ec);
  const std::string root = ec ? folder : canonical.string();
  auto inside = [&](std::string_view p) {
    return p == root || (p.size() > root.size() && p.starts_with(root) && p[root.size()] == '/');
  };
  auto linkInside = [&](const fs::path& link) {
    std::error_code e;
    const fs::path target = fs::read_symlink(link, e);
    return !e && inside(target.native());
  };
  auto mapsInside = [&](const fs::path& maps) {
    std::ifstream in(maps);
    for (std::string line; std::getline(in, line);) {
      const auto slash = line.find('/');
      if (slash != std::string::npos && inside(std::string_view(line).substr(slash))) return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + limit_;
  // Same record format as the lsof probe, so grouping stays in one place.
  std::string records;
  for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
    if (std::chrono::steady_clock::now() > deadline) break;
    const std::string name = it->path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    const fs::path dir = it->path();
    bool uses = linkInside(dir / "cwd") || linkInside(dir / "root") || linkInside(dir / "exe");
    if (!uses) {
      std::error_code fe;
      for (fs::directory_iterator fd(dir / "fd", fe), fdEnd; !fe && fd != fdEnd; fd.increment(fe)) {
        if (linkInside(fd->path())) {
          uses = true;
          break;
        }
      }
    }
    if (!uses) uses = mapsInside(dir / "maps");
    if (!uses) continue;
    std::string command;
    std::ifstream comm(dir / "comm");
    std::getline(comm, command);
    records += "p" + name + "\nc" + command + "\n";
  }
  return parseInUseOutput(records, static_cast<int>(getpid()), [&](int pid) {
    std::error_code e;
    auto exe = fs::read_symlink(proc / std::to_string(pid) / "exe", e);
    return e ? std::string() : exe.string();
  });
}

std::vector<FolderInUseEntry> FolderInUseProbe::scan(const std::string& folder) const {
  if (procRoot_) return scanProc(folder);
  ProcessInvocation invocation;
  invocation.path = lsofPath_;
  invocation.args = {"+D", folder, "-F", "pc"};
  invocation.deadline = limit_;
  invocation.killGrace = std::chrono::milliseconds(500);
  ProcessResult r = runProcess(invocation);
  return parseInUseOutput(r.out, static_cast<int>(getpid()), [](int pid) {
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : exe.string();
  });
}

std::string ageText(std::int64_t s) {
  if (s < 60) return std::to_string(s) + "s ago";
  if (s < 3600) return std::to_string(s / 60) + "m ago";
  if (s < 86400) {
    const auto h = s / 3600, m = (s % 3600) / 60;
    return m == 0 ? std::to_string(h) + "h ago" : std::to_string(h) + "h " + std::to_string(m) + "m ago";
  }
  return std::to_string(s / 86400) + "d ago";
}

std::string RecentWriteReport::message() const {
  const double hoursLeft = static_cast<double>(windowHours) - static_cast<double>(ageSeconds) / 3600.0;
  const auto n = static_cast<long long>(std::ceil(hoursLeft));
  std::string retry = n < 1    ? "Try again shortly."
                      : n == 1 ? "Try again in about 1 hour."
                               : "Try again in about " + std::to_string(n) + " hours.";
  return "Recent activity detected in source: " + path + " was modified " + ageText(ageSeconds) +
         ". The mover refuses to start while the source is still being written. " + retry +
         " To override, enable \u201CBypass recent-write guard\u201D in Tier preferences.";
}

RecentWriteReport recentWriteReport(const fs::path& folder, int windowHours, std::time_t now) {
  if (windowHours <= 0) return recentWriteReport(std::nullopt, windowHours, now);
  return recentWriteReport(surveyTree(folder), windowHours, now);
}

RecentWriteReport recentWriteReport(const std::optional<TreeSurvey>& survey, int windowHours, std::time_t now) {
  RecentWriteReport report;
  report.windowHours = windowHours;
  if (windowHours <= 0 || !survey) return report;
  const std::time_t newest = survey->newestSeconds;
  report.path = nameOf(survey->newestPath);
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

RelocatorLock::RelocatorLock(fs::path stateDir) : file_(stateDir / "apps-relocator" / ".lock") {}

RelocatorLock::~RelocatorLock() { release(); }

Result<void> RelocatorLock::acquire(std::chrono::milliseconds timeout) {
  if (fd_ >= 0) return {};
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  fd_ = open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    return fail(Errc::kIo, "Apps Relocator: cannot open lock file (" + std::string(std::strerror(errno)) + ").");
  }
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + timeout;
  bool retriedStale = false;
  while (true) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      (void)!ftruncate(fd_, 0);
      const std::string pid = std::to_string(getpid()) + "\n";
      (void)!pwrite(fd_, pid.data(), pid.size(), 0);
      return {};
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const std::string why = std::strerror(errno);
      release();
      return fail(Errc::kIo, "Apps Relocator: flock failed (" + why + ").");
    }
    char buf[32] = {};
    const ssize_t n = pread(fd_, buf, sizeof buf - 1, 0);
    const int holder = n > 0 ? std::atoi(buf) : 0;
    if (holder > 0 && kill(holder, 0) != 0 && errno == ESRCH && !retriedStale) {
      retriedStale = true;  // the recorded holder is gone: try again at once
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      const auto waited = std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::steady_clock::now() - start);
      release();
      return fail(Errc::kTimedOut, "Apps Relocator: another relocate operation is in progress (waited " +
                                       std::to_string(waited.count()) + "s).");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void RelocatorLock::release() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

void ActiveMoveTracker::add(MoveDirection direction, const std::string& id) {
  (direction == MoveDirection::kForward ? forward_ : back_).insert(id);
}

void ActiveMoveTracker::remove(MoveDirection direction, const std::string& id) {
  (direction == MoveDirection::kForward ? forward_ : back_).erase(id);
}

}  // namespace brimvale::mover
