#include "mover/switch_checks.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <string_view>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "mover/manifest.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The phases in which a folder or app move is still writing to a drive.
constexpr std::array<std::string_view, 6> kUnderWay{"writing",   "copying",    "hashing",
                                                    "verifying", "cleaningUp", "linking"};

bool underWay(std::string_view phase) {
  return std::find(kUnderWay.begin(), kUnderWay.end(), phase) != kUnderWay.end();
}

std::vector<MoveManifest> folderMoves(const StatePaths& paths) {
  return ManifestStore(paths.state, nullptr, systemClock()).all();
}

// One app move record as its file holds it; the app mover owns the format,
// so only the keys the switch needs are read and everything else is kept.
struct AppMoveFile {
  fs::path file;
  json record;
  [[nodiscard]] std::string text(const char* key) const {
    auto v = record.find(key);
    return v != record.end() && v->is_string() ? v->get<std::string>() : std::string();
  }
  // The phase as the switch sees it: a move brought back keeps its `done`
  // record with the outcome in statusMessage, and has no copy left to carry.
  [[nodiscard]] std::string phase() const {
    const std::string outcome = text("statusMessage");
    if (outcome.starts_with("restored_by_user_at_") || outcome.starts_with("kept_internal_at_")) {
      return "moved back";
    }
    return text("phase");
  }
};

std::vector<AppMoveFile> appMoves(const StatePaths& paths) {
  std::vector<AppMoveFile> moves;
  std::error_code ec;
  for (fs::directory_iterator it(paths.state / "app-moves", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() != ".json") continue;
    auto text = readFile(it->path());
    if (!text) continue;
    json record = json::parse(*text, nullptr, false);
    if (record.is_object()) moves.push_back({it->path(), std::move(record)});
  }
  std::sort(moves.begin(), moves.end(),
            [](const AppMoveFile& a, const AppMoveFile& b) { return a.file < b.file; });
  return moves;
}

// The check over one kind of move records: none under way, every finished
// one copied across.
std::optional<std::string> movesRefusal(
    const std::vector<std::pair<std::string, std::string>>& moves, const SwitchRoute& route,
    const char* underWayReason, const char* missingReason) {
  for (const auto& [phase, copy] : moves) {
    if (underWay(phase)) return underWayReason;
  }
  for (const auto& [phase, copy] : moves) {
    if (phase != "done") continue;
    auto translated = translatedPath(copy, route.oldWorking, route.newWorking);
    if (!entryPresent(translated.value_or(copy))) return missingReason;
  }
  return std::nullopt;
}

// Translates `field` in place; true when it changed.
bool translateField(std::string& field, const SwitchRoute& route) {
  auto translated = translatedPath(field, route.oldWorking, route.newWorking);
  if (!translated) return false;
  field = translated->string();
  return true;
}

}  // namespace

std::optional<fs::path> translatedPath(const fs::path& path, const fs::path& from,
                                       const fs::path& to) {
  const fs::path p = path.lexically_normal();
  const fs::path f = from.lexically_normal();
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
    if (fi->empty()) continue;  // the trailing "" of "/a/b/"
    if (pi == p.end() || *pi != *fi) return std::nullopt;
  }
  fs::path result = to;
  for (; pi != p.end(); ++pi) {
    if (!pi->empty()) result /= *pi;
  }
  return result;
}

std::optional<std::string> copyRefusal(const StatePaths& paths, const SwitchRoute& route) {
  std::error_code ec;
  if (!fs::is_directory(route.newWorking, ec)) return "the new drive's folder is missing";
  auto marker = readFile(route.newWorking / kMarkerFileName);
  if (!marker) return "the new drive isn't set up";
  const std::string expected = route.newVolumeUUID.empty() ? "unknown" : route.newVolumeUUID;
  if (findValue(parseKeyValues(*marker), "volume_uuid").value_or("") != expected) {
    return "the new drive doesn't match";
  }
  // The service's own relocations keep a journal only while one is under way.
  for (fs::directory_iterator it(paths.state / "move-dir", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() == ".kv") return "a move is still in progress";
  }
  std::vector<std::pair<std::string, std::string>> folders;
  for (const auto& m : folderMoves(paths)) folders.emplace_back(phaseRaw(m.phase), m.finalDst);
  if (auto refusal = movesRefusal(folders, route, "a move is still in progress",
                                  "something didn't copy across")) {
    return refusal;
  }
  std::vector<std::pair<std::string, std::string>> apps;
  for (const auto& a : appMoves(paths)) apps.emplace_back(a.phase(), a.text("nvmePath"));
  return movesRefusal(apps, route, "an app move is still in progress", "an app didn't copy across");
}

std::vector<fs::path> relocatedPlaces(const StatePaths& paths) {
  std::vector<fs::path> places;
  for (const auto& m : folderMoves(paths)) places.emplace_back(m.src);
  for (const auto& a : appMoves(paths)) places.emplace_back(a.text("originalPath"));
  std::erase_if(places, [](const fs::path& p) { return !p.is_absolute(); });
  std::sort(places.begin(), places.end());
  places.erase(std::unique(places.begin(), places.end()), places.end());
  return places;
}

RecordsTranslated translateRecords(const StatePaths& paths, const SwitchRoute& route) {
  RecordsTranslated result;
  for (MoveManifest m : folderMoves(paths)) {
    const bool changed = translateField(m.dstParent, route) | translateField(m.finalDst, route);
    if (!changed) continue;
    if (!route.newVolumeUUID.empty()) m.driveUUID = route.newVolumeUUID;
    m.updatedAt = std::time(nullptr);
    const fs::path file = paths.state / "folder-moves" / (m.id + ".json");
    if (!writeFileAtomically(file, encodeManifest(m))) {
      result.failedRecord = file.string();
      return result;
    }
    ++result.rewritten;
  }
  for (AppMoveFile a : appMoves(paths)) {
    bool changed = false;
    for (const char* key : {"originalPath", "nvmePath"}) {
      std::string value = a.text(key);
      if (translateField(value, route)) {
        a.record[key] = value;
        changed = true;
      }
    }
    if (!changed) continue;
    if (!route.newVolumeUUID.empty()) a.record["driveUUID"] = route.newVolumeUUID;
    if (!writeFileAtomically(a.file, a.record.dump(2) + "\n")) {
      result.failedRecord = a.file.string();
      return result;
    }
    ++result.rewritten;
  }
  return result;
}

std::optional<std::string> recordNamingOldDrive(const StatePaths& paths, const SwitchRoute& route) {
  auto names = [&](const std::string& path) {
    return translatedPath(path, route.oldWorking, route.newWorking).has_value();
  };
  for (const MoveManifest& m : folderMoves(paths)) {
    if (names(m.dstParent) || names(m.finalDst))
      return (paths.state / "folder-moves" / (m.id + ".json")).string();
  }
  for (const AppMoveFile& a : appMoves(paths)) {
    if (names(a.text("originalPath")) || names(a.text("nvmePath"))) return a.file.string();
  }
  return std::nullopt;
}

}  // namespace brimvale::mover
