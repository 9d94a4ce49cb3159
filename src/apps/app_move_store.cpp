#include "apps/app_move_store.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

// Whole-file writes go through one temporary name per process, so two threads
// writing the same record (the mover and a health monitor) take turns.
std::mutex& writeTurn() {
  static std::mutex turn;
  return turn;
}

std::vector<AppMoveManifest> newestFirst(std::vector<AppMoveManifest> moves) {
  std::stable_sort(moves.begin(), moves.end(),
                   [](const auto& a, const auto& b) { return a.startedAt > b.startedAt; });
  return moves;
}

}  // namespace

AppManifestStore::AppManifestStore(fs::path folder, AppMoveLog log, WallClock clock)
    : folder_(std::move(folder)), log_(std::move(log)), clock_(std::move(clock)) {}

bool AppManifestStore::save(AppMoveManifest& manifest) const {
  manifest.updatedAt = clock_();
  std::string text;
  try {
    text = encodeAppMoveManifest(manifest);
  } catch (const std::exception& e) {
    if (log_) log_("Brimvale: failed to encode app-move manifest " + manifest.id + ": " + e.what());
    return false;
  }
  std::error_code ec;
  fs::create_directories(folder_, ec);
  std::lock_guard turn(writeTurn());
  auto written = writeFileAtomically(fileFor(manifest.id), text);
  if (!written && log_) {
    log_("Brimvale: failed to persist app-move manifest " + manifest.id + ": " +
         written.error().message());
  }
  return written.has_value();
}

std::vector<AppMoveManifest> AppManifestStore::loadAll() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::vector<AppMoveManifest> out;
  for (const fs::path& file : files) {
    auto text = readFile(file);
    auto manifest = text ? decodeAppMoveManifest(*text, file.stem().string())
                         : Result<AppMoveManifest>(std::unexpected(text.error()));
    if (!manifest) {
      if (log_) {
        log_("Brimvale: skipped app-move manifest " + file.string() + ": " +
             manifest.error().detail);
      }
      continue;
    }
    if (manifest->version <= 1) {
      manifest->version = kAppMoveManifestVersion;
      manifest->migratedFromV1 = true;
      save(*manifest);
    }
    out.push_back(std::move(*manifest));
  }
  return out;
}

void AppManifestStore::remove(const std::string& id) const {
  std::error_code ec;
  fs::remove(fileFor(id), ec);
}

fs::path AppManifestStore::fileFor(const std::string& id) const { return folder_ / (id + ".json"); }

std::string comparablePath(const fs::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::optional<AppMoveManifest> moveWithId(const std::vector<AppMoveManifest>& all,
                                          std::string_view id) {
  auto wanted = canonicalUuid(id);
  auto it = std::find_if(all.begin(), all.end(),
                         [&](const AppMoveManifest& m) { return wanted && m.id == *wanted; });
  if (it == all.end()) return std::nullopt;
  return *it;
}

std::vector<AppMoveManifest> movesOfOriginalPath(const std::vector<AppMoveManifest>& all,
                                                 const fs::path& originalPath) {
  const std::string wanted = comparablePath(originalPath);
  std::vector<AppMoveManifest> out;
  std::copy_if(all.begin(), all.end(), std::back_inserter(out),
               [&](const AppMoveManifest& m) { return comparablePath(m.originalPath) == wanted; });
  return newestFirst(std::move(out));
}

std::vector<AppMoveManifest> unfinishedMoves(std::vector<AppMoveManifest> all) {
  std::erase_if(all, [](const AppMoveManifest& m) { return !isUnfinished(m.phase); });
  return newestFirst(std::move(all));
}

std::vector<AppMoveManifest> finishedRelocations(std::vector<AppMoveManifest> all) {
  std::erase_if(all, [](const AppMoveManifest& m) { return !isLiveRelocation(m); });
  return newestFirst(std::move(all));
}

}  // namespace brimvale::apps
