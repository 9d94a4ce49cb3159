#include "apps/app_move_manifest.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "common/base/timestamps.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 36> kKnownKeys{
    "id",
    "version",
    "originalPath",
    "nvmePath",
    "bundleID",
    "displayName",
    "driveUUID",
    "srcSizeKB",
    "startedAt",
    "updatedAt",
    "completedAt",
    "phase",
    "lastError",
    "statusMessage",
    "fractionAtLastWrite",
    "srcContentHash",
    "dstContentHash",
    "tccEntitlements",
    "updateFramework",
    "updateFrameworkDetails",
    "helperReferences",
    "hadQuarantineXattr",
    "caseSensitivitySource",
    "caseSensitivityDest",
    "rpathScanResult",
    "rpathScanDetails",
    "externalModifications",
    "thermalPauses",
    "migratedFromV1",
    "healthProbes",
    "tierAtMove",
    "tierReasonAtMove",
    "overrideAccepted",
    "consecutiveReRelocateFailures",
    "nextReRelocateAttemptAt",
    "quarantinePath",
};

enum class Need { kOptional, kRequired };

// Reads typed values out of one JSON object and keeps the first problem met,
// named by the key's place in the record, so a bad file says what is wrong.
class Fields {
 public:
  Fields(const json& object, std::string where, std::optional<std::string>& problem)
      : object_(object), where_(std::move(where)), problem_(problem) {}

  void text(const char* key, std::string& out, Need need) {
    if (const json* v = found(key, &json::is_string, "a text", need)) out = v->get<std::string>();
  }
  void text(const char* key, std::optional<std::string>& out) {
    if (const json* v = found(key, &json::is_string, "a text", Need::kOptional))
      out = v->get<std::string>();
  }
  void date(const char* key, std::time_t& out, Need need) {
    if (auto when = dateAt(key, need)) out = *when;
  }
  void date(const char* key, std::optional<std::time_t>& out) {
    out = dateAt(key, Need::kOptional);
  }
  void integer(const char* key, std::int64_t& out, Need need) {
    if (const json* v = found(key, &json::is_number_integer, "a whole number", need))
      out = v->get<std::int64_t>();
  }
  void integer(const char* key, int& out) {
    if (auto v = smallInteger(key)) out = *v;
  }
  void integer(const char* key, std::optional<int>& out) { out = smallInteger(key); }
  void real(const char* key, double& out, Need need) {
    if (const json* v = found(key, &json::is_number, "a number", need)) out = v->get<double>();
  }
  void flag(const char* key, bool& out) {
    if (const json* v = found(key, &json::is_boolean, "true or false", Need::kOptional))
      out = v->get<bool>();
  }
  void textMap(const char* key, std::map<std::string, std::string>& out) {
    const json* v = found(key, &json::is_object, "an object", Need::kOptional);
    if (!v) return;
    for (const auto& [name, value] : v->items()) {
      if (!value.is_string()) return note(place(key) + "." + name + " is not a text");
      out[name] = value.get<std::string>();
    }
  }
  // A list of objects kept as they are.
  void objects(const char* key, json& out) {
    const json* v = found(key, &json::is_array, "a list", Need::kOptional);
    if (!v) return;
    if (!std::all_of(v->begin(), v->end(), [](const json& e) { return e.is_object(); }))
      return note(place(key) + " holds something that is not an object");
    out = *v;
  }
  template <class T>
  void records(const char* key, std::vector<T>& out, T (*read)(Fields&)) {
    const json* v = found(key, &json::is_array, "a list", Need::kOptional);
    if (!v) return;
    for (std::size_t i = 0; i < v->size(); ++i) {
      const std::string at = place(key) + "[" + std::to_string(i) + "]";
      if (!(*v)[i].is_object()) return note(at + " is not an object");
      Fields element((*v)[i], at, problem_);
      out.push_back(read(element));
    }
  }
  template <class E, std::size_t N>
  void named(const char* key, E& out, const std::array<RawName<E>, N>& table) {
    std::string raw;
    text(key, raw, Need::kRequired);
    if (problem_) return;
    if (auto value = valueOfRaw(table, raw)) {
      out = *value;
    } else {
      note(place(key) + " has the unknown value \"" + raw + "\"");
    }
  }

 private:
  std::string place(const char* key) const { return where_.empty() ? key : where_ + "." + key; }
  void note(std::string problem) {
    if (!problem_) problem_ = std::move(problem);
  }
  const json* found(const char* key, bool (json::*is)() const noexcept, const char* kind,
                    Need need) {
    auto it = object_.find(key);
    if (it == object_.end()) {
      if (need == Need::kRequired) note("missing required key " + place(key));
      return nullptr;
    }
    if (!((*it).*is)()) {
      note(place(key) + " is not " + kind);
      return nullptr;
    }
    return &*it;
  }
  std::optional<std::time_t> dateAt(const char* key, Need need) {
    const json* v = found(key, &json::is_string, "a date", need);
    if (!v) return std::nullopt;
    auto when = parseIsots(v->get<std::string>());
    if (!when) note(place(key) + " is not an ISO 8601 date");
    return when;
  }
  std::optional<int> smallInteger(const char* key) {
    std::int64_t wide = 0;
    if (!object_.contains(key)) return std::nullopt;
    integer(key, wide, Need::kOptional);
    if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max()) {
      note(place(key) + " is out of range");
      return std::nullopt;
    }
    return static_cast<int>(wide);
  }

  const json& object_;
  std::string where_;
  std::optional<std::string>& problem_;
};

ExternalModification readModification(Fields& f) {
  ExternalModification m;
  f.date("detectedAt", m.detectedAt, Need::kRequired);
  f.text("kind", m.kind, Need::kRequired);
  f.text("actionTaken", m.actionTaken);
  return m;
}

ThermalPauseRecord readThermalPause(Fields& f) {
  ThermalPauseRecord p;
  f.date("startedAt", p.startedAt, Need::kRequired);
  f.date("endedAt", p.endedAt, Need::kRequired);
  f.integer("durationMs", p.durationMs, Need::kRequired);
  return p;
}

HealthProbeRecord readHealthProbe(Fields& f) {
  HealthProbeRecord p;
  f.date("at", p.at, Need::kRequired);
  f.named("result", p.result, kProbeOutcomeNames);
  f.textMap("details", p.details);
  return p;
}

void putText(json& j, const char* key, const std::optional<std::string>& value) {
  if (value) j[key] = *value;
}

void putDate(json& j, const char* key, const std::optional<std::time_t>& value) {
  if (value) j[key] = isots(*value);
}

}  // namespace

bool isUnfinished(AppMovePhase phase) {
  return phase != AppMovePhase::kDone && phase != AppMovePhase::kCancelled &&
         phase != AppMovePhase::kFailed;
}

bool isLiveRelocation(const AppMoveManifest& manifest) {
  if (manifest.phase != AppMovePhase::kDone) return false;
  const std::string outcome = manifest.statusMessage.value_or("");
  return !outcome.starts_with(kRestoredOutcomePrefix) &&
         !outcome.starts_with(kKeptInternalOutcomePrefix);
}

std::optional<std::string> canonicalUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const auto c = static_cast<unsigned char>(out[i]);
    if (dash ? c != '-' : !std::isxdigit(c)) return std::nullopt;
    out[i] = static_cast<char>(std::toupper(c));
  }
  return out;
}

std::string encodeAppMoveManifest(const AppMoveManifest& m) {
  json j = m.otherKeys.is_object() ? m.otherKeys : json::object();  // std::map: keys sorted
  j["id"] = m.id;
  j["version"] = m.version;
  j["originalPath"] = m.originalPath;
  j["nvmePath"] = m.nvmePath;
  putText(j, "bundleID", m.bundleID);
  j["displayName"] = m.displayName;
  putText(j, "driveUUID", m.driveUUID);
  j["srcSizeKB"] = m.srcSizeKB;
  j["startedAt"] = isots(m.startedAt);
  j["updatedAt"] = isots(m.updatedAt);
  putDate(j, "completedAt", m.completedAt);
  j["phase"] = rawNameOf(kAppMovePhaseNames, m.phase);
  putText(j, "lastError", m.lastError);
  putText(j, "statusMessage", m.statusMessage);
  j["fractionAtLastWrite"] = m.fractionAtLastWrite;
  putText(j, "srcContentHash", m.srcContentHash);
  putText(j, "dstContentHash", m.dstContentHash);
  j["tccEntitlements"] = m.tccEntitlements;
  putText(j, "updateFramework", m.updateFramework);
  j["updateFrameworkDetails"] = m.updateFrameworkDetails;
  j["helperReferences"] = m.helperReferences;
  j["hadQuarantineXattr"] = m.hadQuarantineXattr;
  putText(j, "caseSensitivitySource", m.caseSensitivitySource);
  putText(j, "caseSensitivityDest", m.caseSensitivityDest);
  putText(j, "rpathScanResult", m.rpathScanResult);
  j["rpathScanDetails"] = m.rpathScanDetails;
  json& modifications = j["externalModifications"] = json::array();
  for (const auto& e : m.externalModifications) {
    json entry{{"detectedAt", isots(e.detectedAt)}, {"kind", e.kind}};
    putText(entry, "actionTaken", e.actionTaken);
    modifications.push_back(std::move(entry));
  }
  json& pauses = j["thermalPauses"] = json::array();
  for (const auto& p : m.thermalPauses) {
    pauses.push_back({{"startedAt", isots(p.startedAt)},
                      {"endedAt", isots(p.endedAt)},
                      {"durationMs", p.durationMs}});
  }
  j["migratedFromV1"] = m.migratedFromV1;
  json& probes = j["healthProbes"] = json::array();
  for (const auto& p : m.healthProbes) {
    probes.push_back({{"at", isots(p.at)},
                      {"result", rawNameOf(kProbeOutcomeNames, p.result)},
                      {"details", p.details}});
  }
  if (m.tierAtMove) j["tierAtMove"] = *m.tierAtMove;
  putText(j, "tierReasonAtMove", m.tierReasonAtMove);
  j["overrideAccepted"] = m.overrideAccepted;
  j["consecutiveReRelocateFailures"] = m.consecutiveReRelocateFailures;
  putDate(j, "nextReRelocateAttemptAt", m.nextReRelocateAttemptAt);
  putText(j, "quarantinePath", m.quarantinePath);
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

Result<AppMoveManifest> decodeAppMoveManifest(std::string_view text, std::string_view fileId) {
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return fail(Errc::kParse, "not a JSON object");
  std::optional<std::string> problem;
  Fields f(j, "", problem);
  AppMoveManifest m;
  std::string id(fileId);
  f.text("id", id, Need::kOptional);
  std::int64_t version = 0;
  f.integer("version", version, Need::kRequired);
  f.text("originalPath", m.originalPath, Need::kRequired);
  f.text("nvmePath", m.nvmePath, Need::kRequired);
  f.text("bundleID", m.bundleID);
  f.text("displayName", m.displayName, Need::kRequired);
  f.text("driveUUID", m.driveUUID);
  f.integer("srcSizeKB", m.srcSizeKB, Need::kRequired);
  f.date("startedAt", m.startedAt, Need::kRequired);
  f.date("updatedAt", m.updatedAt, Need::kRequired);
  f.date("completedAt", m.completedAt);
  f.named("phase", m.phase, kAppMovePhaseNames);
  f.text("lastError", m.lastError);
  f.text("statusMessage", m.statusMessage);
  f.real("fractionAtLastWrite", m.fractionAtLastWrite, Need::kRequired);
  f.text("srcContentHash", m.srcContentHash);
  f.text("dstContentHash", m.dstContentHash);
  f.objects("tccEntitlements", m.tccEntitlements);
  f.text("updateFramework", m.updateFramework);
  f.textMap("updateFrameworkDetails", m.updateFrameworkDetails);
  f.objects("helperReferences", m.helperReferences);
  f.flag("hadQuarantineXattr", m.hadQuarantineXattr);
  f.text("caseSensitivitySource", m.caseSensitivitySource);
  f.text("caseSensitivityDest", m.caseSensitivityDest);
  f.text("rpathScanResult", m.rpathScanResult);
  f.objects("rpathScanDetails", m.rpathScanDetails);
  f.records("externalModifications", m.externalModifications, &readModification);
  f.records("thermalPauses", m.thermalPauses, &readThermalPause);
  f.flag("migratedFromV1", m.migratedFromV1);
  f.records("healthProbes", m.healthProbes, &readHealthProbe);
  f.integer("tierAtMove", m.tierAtMove);
  f.text("tierReasonAtMove", m.tierReasonAtMove);
  f.flag("overrideAccepted", m.overrideAccepted);
  f.integer("consecutiveReRelocateFailures", m.consecutiveReRelocateFailures);
  f.date("nextReRelocateAttemptAt", m.nextReRelocateAttemptAt);
  f.text("quarantinePath", m.quarantinePath);
  if (problem) return fail(Errc::kParse, *problem);
  if (version < std::numeric_limits<int>::min() || version > std::numeric_limits<int>::max())
    return fail(Errc::kParse, "version is out of range");
  m.version = static_cast<int>(version);
  // The id names the record's file; anything but a UUID could name a file elsewhere.
  auto canonical = canonicalUuid(id);
  if (!canonical) return fail(Errc::kParse, "id \"" + id + "\" is not a UUID");
  m.id = *canonical;
  for (const auto& [key, value] : j.items()) {
    if (std::find(kKnownKeys.begin(), kKnownKeys.end(), key) == kKnownKeys.end())
      m.otherKeys[key] = value;
  }
  return m;
}

}  // namespace brimvale::apps
