#include "mover/manifest.h"

#include <algorithm>
#include <array>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/configured_drive.h"
#include "common/state/path_policy.h"
#include "mover/rsync_support.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::optional<std::string> optString(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The kind of a lastError in a record written before the kind was kept, told
// by its words as the mover told them apart then. Nothing else reads text so.
MoveFailure legacyFailure(std::string_view lastError) {
  static constexpr std::string_view kStatedStarts[] = {
      "Brimvale did not resume ",
      "The drive isn't connected at ",
      "Something already exists at ",
      "Couldn't create ",
      "Every name for the copy ",
      "Brimvale couldn't write the record ",
      "Files in ",
      "The move of ",
      "Brimvale brought ",
      "The folder ",
  };
  if (lastError == "NVMe drive not mounted.") return MoveFailure::kDriveAbsent;
  for (auto start : kStatedStarts) {
    if (lastError.starts_with(start)) return MoveFailure::kStated;
  }
  const std::string_view sentence = lastError.substr(0, lastError.find(kRawErrorMarker));
  const std::string l = asciiLower(sentence);
  auto has = [&](std::string_view w) { return l.find(w) != std::string::npos; };
  if (has("the drive is full") || sentence.ends_with("Nothing was changed."))
    return MoveFailure::kStatedWithDetails;
  if (has("sanity") || has("size check") || has("differ") || has("hash") || has("verif"))
    return MoveFailure::kVerification;
  if (has("disconnect") || has("drive")) return MoveFailure::kDriveGone;
  if (has("cleanup") || has("removing source")) {
    return lastError.starts_with("Relocate cleanup partial") ? MoveFailure::kPartlyRelinked
                                                             : MoveFailure::kSourceNotRemoved;
  }
  if (!sentence.empty() && !has("rsync") && !has("exit") && !has("code "))
    return MoveFailure::kStatedWithDetails;
  return MoveFailure::kUnexplained;
}

}  // namespace

std::string_view phaseRaw(MovePhase phase) { return rawNameOf(kMovePhaseNames, phase); }
std::string phaseWords(MovePhase phase) { return rawInWords(phaseRaw(phase)); }
std::optional<MovePhase> phaseFromRaw(std::string_view raw) {
  return valueOfRaw(kMovePhaseNames, raw);
}
bool isTerminal(MovePhase phase) {
  return phase == MovePhase::kDone || phase == MovePhase::kCancelled || phase == MovePhase::kFailed;
}
std::string_view conflictPolicyRaw(MoveConflictPolicy policy) {
  return rawNameOf(kMoveConflictPolicyNames, policy);
}
std::optional<MoveConflictPolicy> conflictPolicyFromRaw(std::string_view raw) {
  return valueOfRaw(kMoveConflictPolicyNames, raw);
}
std::string_view triggerSourceRaw(MoveTriggerSource source) {
  return rawNameOf(kMoveTriggerSourceNames, source);
}
std::optional<MoveTriggerSource> triggerSourceFromRaw(std::string_view raw) {
  return valueOfRaw(kMoveTriggerSourceNames, raw);
}

std::string encodeManifest(const MoveManifest& m) {
  json j;  // std::map-backed: keys come out sorted
  j["id"] = m.id;
  j["version"] = 1;
  j["src"] = m.src;
  j["dstParent"] = m.dstParent;
  j["finalDst"] = m.finalDst;
  if (m.driveUUID) j["driveUUID"] = *m.driveUUID;
  j["srcSizeKB"] = m.srcSizeKB;
  j["startedAt"] = isots(m.startedAt);
  j["updatedAt"] = isots(m.updatedAt);
  if (m.completedAt) j["completedAt"] = isots(*m.completedAt);
  j["phase"] = phaseRaw(m.phase);
  if (m.lastError) {
    j["lastError"] = *m.lastError;
    j["failure"] = rawNameOf(kMoveFailureNames, m.failure);
  }
  j["fractionAtLastWrite"] = m.fractionAtLastWrite;
  if (m.srcContentHash) j["srcContentHash"] = *m.srcContentHash;
  if (m.dstContentHash) j["dstContentHash"] = *m.dstContentHash;
  if (m.statusMessage) j["statusMessage"] = *m.statusMessage;
  j["conflictPolicy"] = conflictPolicyRaw(m.conflictPolicy);
  j["replaceSourceWithSymlink"] = m.replaceSourceWithSymlink;
  j["triggerSource"] = triggerSourceRaw(m.triggerSource);
  if (m.owner) {
    j["ownerPid"] = m.owner->pid;
    j["ownerStart"] = m.owner->start;
  }
  if (m.copyStartedAt) j["copyStartedAt"] = isots(*m.copyStartedAt);
  if (m.copyRound > 1) j["copyRound"] = m.copyRound;
  // The records' format escapes "/" as "\/"; it is valid JSON, and readers take both forms.
  const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace);
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped + "\n";
}

std::optional<MoveManifest> decodeManifest(std::string_view text) {
  json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  MoveManifest m;
  auto id = optString(j, "id");
  auto src = optString(j, "src");
  auto dstParent = optString(j, "dstParent");
  auto finalDst = optString(j, "finalDst");
  auto started = optString(j, "startedAt");
  auto updated = optString(j, "updatedAt");
  auto phase = optString(j, "phase");
  if (!id || !src || !dstParent || !finalDst || !started || !updated || !phase) return std::nullopt;
  auto startedAt = parseIsots(*started);
  auto updatedAt = parseIsots(*updated);
  auto p = phaseFromRaw(*phase);
  if (!startedAt || !updatedAt || !p) return std::nullopt;
  // The id names the record's file: one that would name a file elsewhere
  // (a hand-edited "../x") must never be saved or removed through.
  if (id->empty() || *id == "." || *id == ".." || id->find('/') != std::string::npos ||
      id->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  m.id = *id;
  m.src = *src;
  m.dstParent = *dstParent;
  m.finalDst = *finalDst;
  m.startedAt = *startedAt;
  m.updatedAt = *updatedAt;
  m.phase = *p;
  if (auto v = j.find("version"); v != j.end()) {
    if (!v->is_number_integer()) return std::nullopt;
    m.version = v->get<int>();
  }
  if (auto v = j.find("srcSizeKB"); v != j.end()) {
    if (!v->is_number_integer()) return std::nullopt;
    m.srcSizeKB = v->get<std::int64_t>();
  }
  if (auto v = j.find("fractionAtLastWrite"); v != j.end()) {
    if (!v->is_number()) return std::nullopt;
    m.fractionAtLastWrite = v->get<double>();
  }
  if (auto v = j.find("replaceSourceWithSymlink"); v != j.end()) {
    if (!v->is_boolean()) return std::nullopt;
    m.replaceSourceWithSymlink = v->get<bool>();
  }
  if (auto v = optString(j, "conflictPolicy")) {
    auto policy = conflictPolicyFromRaw(*v);
    if (!policy) return std::nullopt;
    m.conflictPolicy = *policy;
  }
  if (auto v = optString(j, "triggerSource")) {
    auto trigger = triggerSourceFromRaw(*v);
    if (!trigger) return std::nullopt;
    m.triggerSource = *trigger;
  }
  if (auto v = optString(j, "completedAt")) {
    auto when = parseIsots(*v);
    if (!when) return std::nullopt;
    m.completedAt = *when;
  }
  if (auto v = optString(j, "copyStartedAt")) m.copyStartedAt = parseIsots(*v);
  if (auto v = j.find("copyRound"); v != j.end() && v->is_number_integer())
    m.copyRound = static_cast<int>(std::clamp<std::int64_t>(v->get<std::int64_t>(), 1, 1000));
  m.driveUUID = optString(j, "driveUUID");
  m.lastError = optString(j, "lastError");
  if (m.lastError) {
    const auto raw = optString(j, "failure");
    const auto failure = raw ? valueOfRaw(kMoveFailureNames, *raw) : std::nullopt;
    m.failure = failure ? *failure : legacyFailure(*m.lastError);
  }
  m.srcContentHash = optString(j, "srcContentHash");
  m.dstContentHash = optString(j, "dstContentHash");
  m.statusMessage = optString(j, "statusMessage");
  auto ownerPid = j.find("ownerPid");
  auto ownerStart = optString(j, "ownerStart");
  if (ownerPid != j.end() && ownerPid->is_number_integer() && ownerStart) {
    const auto pid = ownerPid->get<std::int64_t>();
    if (pid > 0 && pid <= std::numeric_limits<int>::max())
      m.owner = MoveOwner{static_cast<int>(pid), *ownerStart};
  }
  return m;
}

ManifestStore::ManifestStore(fs::path stateDir, SystemLog systemLog, WallClock clock)
    : folder_(std::move(stateDir) / "folder-moves"),
      systemLog_(std::move(systemLog)),
      clock_(std::move(clock)) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
}

void ManifestStore::save(const MoveManifest& manifest) { (void)write(manifest); }

Result<void> ManifestStore::write(const MoveManifest& manifest) {
  MoveManifest copy = manifest;
  copy.updatedAt = clock_();
  std::string text;
  try {
    text = encodeManifest(copy);
  } catch (const std::exception&) {
    if (systemLog_) systemLog_("Brimvale: failed to encode move manifest " + copy.id);
    return fail(Errc::kInvalidArgument, "move manifest " + copy.id + " cannot be encoded");
  }
  std::error_code ec;
  fs::create_directories(folder_, ec);
  const fs::path file = fileURL(copy.id);
  Result<void> written = writeFileAtomically(file, text);
  // What counts is what a later run will read.
  if (written && readFile(file).value_or("") != text)
    written = fail(Errc::kIo, file.string() + " does not read back as written");
  if (!written && systemLog_) {
    systemLog_("Brimvale: failed to persist move manifest " + copy.id + ": " +
               written.error().message());
  }
  return written;
}

void ManifestStore::remove(const std::string& id) {
  std::error_code ec;
  fs::remove(fileURL(id), ec);
}

std::vector<MoveManifest> ManifestStore::all() const {
  std::vector<MoveManifest> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.extension() != ".json") continue;
    auto text = readFile(p);
    if (!text) continue;
    if (auto m = decodeManifest(*text)) out.push_back(std::move(*m));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.startedAt > b.startedAt; });
  return out;
}

std::vector<fs::path> ManifestStore::undecodable() const {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".json") continue;
    auto text = readFile(it->path());
    if (!text || !decodeManifest(*text)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<MoveManifest> listedMoves(std::vector<MoveManifest> newestFirst) {
  std::size_t ended = 0;
  std::erase_if(newestFirst, [&ended](const MoveManifest& m) {
    return isTerminal(m.phase) && ++ended > kEndedMovesListed;
  });
  return newestFirst;
}

fs::path ManifestStore::fileURL(const std::string& id) const { return folder_ / (id + ".json"); }

std::optional<std::string> currentDriveUUID(const StatePaths& paths,
                                            std::string_view computerName) {
  const auto drive = configuredDrive(paths);
  if (!drive) return std::nullopt;
  // The snapshot's UUID was measured at the drive it names, which may not be
  // the configured one any more.
  if (auto text = readFile(paths.statusJson)) {
    json j = json::parse(*text, nullptr, false);
    const auto measuredAt = j.is_object() ? optString(j, "nvme_path") : std::nullopt;
    if (measuredAt && normalisedAbsolute(*measuredAt) == *drive) {
      for (const char* key : {"nvme_uuid", "volume_uuid"}) {
        if (auto v = optString(j, key); v && !v->empty()) return v;
      }
    }
  }
  auto marker = readFile(workingFolderFor(*drive, computerName) / kMarkerFileName);
  if (!marker) return std::nullopt;
  constexpr std::string_view kKey = "volume_uuid=";
  std::size_t start = 0;
  while (start < marker->size()) {
    std::size_t end = marker->find('\n', start);
    if (end == std::string::npos) end = marker->size();
    std::string_view line = std::string_view(*marker).substr(start, end - start);
    if (line.starts_with(kKey) && line.size() > kKey.size())
      return std::string(line.substr(kKey.size()));
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace brimvale::mover
