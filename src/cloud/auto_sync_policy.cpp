#include "cloud/auto_sync_policy.h"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/base/timestamps.h"
#include "common/state/path_policy.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::array<std::string_view, 13> kUnsafeRoots{
    "/",        "/Users", "/System", "/Library", "/Applications", "/opt",     "/usr",
    "/private", "/etc",   "/var",    "/bin",     "/sbin",         "/Volumes",
};
constexpr std::array<std::string_view, 7> kUnsafeHomeFolders{
    "Documents", "Downloads", "Desktop", "Pictures", "Movies", "Music", "Public",
};

std::optional<std::time_t> optionalDate(const json& value, const char* key, bool& ok) {
  const auto it = value.find(key);
  if (it == value.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    ok = false;
    return std::nullopt;
  }
  const auto t = parseIsots(it->get<std::string>());
  if (!t) ok = false;
  return t;
}

bool isUnsafeWatchedFolder(const fs::path& folder, const fs::path& home) {
  for (const auto root : kUnsafeRoots) {
    if (folder == fs::path(root)) return true;
  }
  // Files under system folders are not the user's to relocate.
  if (PathPolicy::isSystemPath(folder)) return true;
  const fs::path normalisedHome = normalisedAbsolute(home.string()).value_or(home);
  if (folder == normalisedHome) return true;
  for (const auto name : kUnsafeHomeFolders) {
    if (folder == normalisedHome / name) return true;
  }
  return false;
}

}  // namespace

json policyToJson(const AutoSyncPolicy& p) {
  json out{{"id", p.id},
           {"version", p.version},
           {"internalPath", p.internalPath},
           {"nvmeDestParent", p.nvmeDestParent},
           {"createdAt", isots(p.createdAt)},
           {"enabled", p.enabled},
           {"excludePatterns", p.excludePatterns},
           {"totalFilesMoved", p.totalFilesMoved},
           {"totalBytesMoved", p.totalBytesMoved}};
  if (p.lastScanAt) out["lastScanAt"] = isots(*p.lastScanAt);
  if (p.lastMoveAt) out["lastMoveAt"] = isots(*p.lastMoveAt);
  return out;
}

std::optional<AutoSyncPolicy> policyFromJson(const json& value) {
  if (!value.is_object()) return std::nullopt;
  AutoSyncPolicy p;
  try {
    p.id = value.at("id").get<std::string>();
    p.internalPath = value.at("internalPath").get<std::string>();
    p.nvmeDestParent = value.at("nvmeDestParent").get<std::string>();
    const auto created = parseIsots(value.at("createdAt").get<std::string>());
    if (!created) return std::nullopt;
    p.createdAt = *created;
    p.version = value.value("version", 1);
    p.enabled = value.value("enabled", true);
    p.excludePatterns = value.value("excludePatterns", std::vector<std::string>{});
    p.totalFilesMoved = value.value("totalFilesMoved", std::int64_t{0});
    p.totalBytesMoved = value.value("totalBytesMoved", std::int64_t{0});
  } catch (const json::exception&) {
    return std::nullopt;
  }
  bool ok = true;
  p.lastScanAt = optionalDate(value, "lastScanAt", ok);
  p.lastMoveAt = optionalDate(value, "lastMoveAt", ok);
  if (!ok || !isPolicyId(p.id)) return std::nullopt;
  return p;
}

bool isPolicyId(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (const char c : id) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

fs::path destinationRootFor([[maybe_unused]] const fs::path& workingFolder) {
#ifdef __APPLE__
  return "/Volumes";
#else
  return workingFolder;
#endif
}

std::optional<PolicyRefusal> registrationRefusal(const std::string& internalPath,
                                                 const std::string& nvmeDestParent,
                                                 const AutoSyncRoots& roots) {
  const auto watched = normalisedAbsolute(internalPath);
  const auto root = normalisedAbsolute(roots.destinationRoot.string());
  // A folder on the drive is already where its files would go.
  const bool onDrive = watched && root && !roots.destinationRoot.empty() &&
                       (*watched == *root || isStrictlyInside(*watched, *root));
  if (!watched || onDrive || isUnsafeWatchedFolder(*watched, roots.home)) {
    return PolicyRefusal{
        "AutoSyncManager: refusing to register policy for unsafe path " + internalPath,
        "Brimvale won't watch " + internalPath +
            " because it is a system folder or a whole top-level folder of your home; choose a "
            "folder inside it. Nothing was changed."};
  }
  const auto destination = normalisedAbsolute(nvmeDestParent);
  const bool inside =
      destination && root && !roots.destinationRoot.empty() &&
      ((*destination == *root && *root != "/Volumes") || isStrictlyInside(*destination, *root));
  if (!inside || isStrictlyInside(*destination, *watched) || *destination == *watched) {
    return PolicyRefusal{
        "AutoSyncManager: refusing to register policy with non-NVMe destination " + nvmeDestParent,
        "Brimvale won't copy into " + nvmeDestParent +
            " because it is not on your fast drive; choose a folder there. Nothing was changed."};
  }
  return std::nullopt;
}

}  // namespace brimvale::cloud
