#include "common/base/stale_temporaries.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "common/base/file_io.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

constexpr int kMaxDepth = 3;
constexpr std::array<std::string_view, 2> kUserDataFolders{"quarantine", "junk-media"};

bool holdsUserData(const fs::path& folder) {
  const std::string name = folder.filename().string();
  for (std::string_view skipped : kUserDataFolders) {
    if (name == skipped) return true;
  }
  return false;
}

void sweepFolder(const fs::path& folder, int depth, const std::function<bool(pid_t)>& alive,
                 std::vector<fs::path>& removed) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const fs::file_status status = it->symlink_status(ec);
    if (ec) continue;
    if (fs::is_directory(status)) {
      if (depth < kMaxDepth && !holdsUserData(it->path())) {
        sweepFolder(it->path(), depth + 1, alive, removed);
      }
      continue;
    }
    if (!fs::is_regular_file(status)) continue;
    const auto pid = temporarySiblingPid(it->path().filename().string());
    if (!pid || *pid == getpid() || alive(*pid)) continue;
    if (fs::remove(it->path(), ec)) removed.push_back(it->path());
  }
}

}  // namespace

bool processAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

std::vector<fs::path> sweepStaleTemporaries(const fs::path& stateRoot,
                                            const std::function<bool(pid_t)>& alive) {
  std::vector<fs::path> removed;
  std::error_code ec;
  if (fs::is_symlink(stateRoot, ec) || !fs::is_directory(stateRoot, ec)) return removed;
  sweepFolder(stateRoot, 1, alive, removed);
  return removed;
}

}  // namespace brimvale
