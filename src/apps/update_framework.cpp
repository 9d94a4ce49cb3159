#include "apps/update_framework.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <system_error>

#include "apps/plist_file.h"

namespace brimvale::apps {
namespace {

struct FrameworkRow {
  UpdateFramework framework;
  std::string_view raw;
  std::string_view description;
};

constexpr std::string_view kSparkleText =
    "Uses Sparkle for auto-updates. Updates write to the running bundle's location, so updates "
    "after relocation land on NVMe correctly.";

constexpr std::array kFrameworks{
    FrameworkRow{UpdateFramework::kNone, "none", ""},
    FrameworkRow{UpdateFramework::kSparkle1, "sparkle1", kSparkleText},
    FrameworkRow{UpdateFramework::kSparkle2App, "sparkle2App", kSparkleText},
    FrameworkRow{UpdateFramework::kSparkle2Package, "sparkle2Package",
                 "Uses Sparkle 2 in package-install mode. Updates use a .pkg installer with a "
                 "fixed /Applications target — a future update will likely reinstall to "
                 "/Applications and orphan the NVMe copy. Brimvale will detect this and offer to "
                 "re-apply the relocation."},
    FrameworkRow{UpdateFramework::kAdobeCCM, "adobeCCM",
                 "Adobe Creative Cloud periodically reinstalls component apps to /Applications. "
                 "The relocation may be silently undone by Adobe Updater. Brimvale detects vendor "
                 "reinstalls and offers three remediation options."},
    FrameworkRow{UpdateFramework::kMicrosoftMAU, "microsoftMAU",
                 "Microsoft AutoUpdate uses pkg installers with hardcoded install locations. "
                 "Updates may reinstall to /Applications. Brimvale detects vendor reinstalls and "
                 "offers three remediation options."},
    FrameworkRow{UpdateFramework::kMas, "mas",
                 "Mac App Store updates target the bundle by Adam ID + install path. App "
                 "Store-pushed updates may reinstall to /Applications. Brimvale detects vendor "
                 "reinstalls and offers three remediation options."},
    FrameworkRow{UpdateFramework::kSetapp, "setapp",
                 "Setapp manages this app's lifecycle via its own subscription daemon. Setapp "
                 "will silently re-download the app if it sees it as missing. Brimvale refuses to "
                 "relocate Setapp-managed apps."},
    FrameworkRow{UpdateFramework::kBrewCask, "brewCask",
                 "Installed via Homebrew Cask. `brew upgrade --cask` reinstalls to /Applications, "
                 "but Brimvale detects this and re-applies the symlink. Optionally install a brew "
                 "post-merge hook for instant re-application."},
    FrameworkRow{UpdateFramework::kCustomSparkle, "customSparkle",
                 "Uses a custom Sparkle-style updater (SUFeedURL in Info.plist, no "
                 "Sparkle.framework). The updater's path semantics are unknown — relocation may "
                 "or may not survive future updates."},
    FrameworkRow{UpdateFramework::kUnknown, "unknown",
                 "Brimvale couldn't determine how this app is updated. Relocate with caution."},
};

// Bundle identifiers Microsoft AutoUpdate keeps current.
constexpr std::array<std::string_view, 12> kMicrosoftAutoUpdateIds{
    "com.microsoft.Word",
    "com.microsoft.Excel",
    "com.microsoft.Powerpoint",
    "com.microsoft.Outlook",
    "com.microsoft.onenote.mac",
    "com.microsoft.teams",
    "com.microsoft.teams2",
    "com.microsoft.edgemac",
    "com.microsoft.OneDrive",
    "com.microsoft.rdc.macos",
    "com.microsoft.CompanyPortalMac",
    "com.microsoft.wdav",
};

std::string lowered(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool pathExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string trueFalse(bool value) { return value ? "true" : "false"; }

bool insideFolder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  std::string p = path.string();
  std::string f = folder.string();
  if (!f.empty() && f.back() != '/') f += '/';
  return p.starts_with(f);
}

// Cask folders are lower-case with dashes where the app name has spaces ("Google Chrome.app"
// is the cask `google-chrome`); both spellings are tried.
std::vector<std::string> caskNamesFor(const std::filesystem::path& bundle) {
  std::string name = lowered(bundle.filename().string());
  if (name.ends_with(".app")) name.resize(name.size() - 4);
  std::string dashed = name;
  std::ranges::replace(dashed, ' ', '-');
  if (dashed == name) return {name};
  return {name, dashed};
}

// The version folder of an installed cask (the greatest name when several), or empty.
std::string caskVersion(const std::filesystem::path& caskFolder) {
  std::string newest;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(caskFolder, ec)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with('.') && entry.is_directory(ec)) newest = std::max(newest, name);
  }
  return newest;
}

UpdateFrameworkFinding sparkle(const std::filesystem::path& bundle, plist_t info) {
  PlistTree framework = readPlistDict(bundle / "Contents" / "Frameworks" / "Sparkle.framework" /
                                      "Resources" / "Info.plist");
  std::string version =
      plistString(framework.get(), "CFBundleShortVersionString").value_or("unknown");
  if (!version.starts_with("2."))
    return {UpdateFramework::kSparkle1, {{"sparkle_version", version}}};
  std::string installType = plistString(info, "SUInstallationType").value_or("application");
  UpdateFramework kind =
      installType == "package" ? UpdateFramework::kSparkle2Package : UpdateFramework::kSparkle2App;
  return {kind, {{"sparkle_version", version}, {"install_type", installType}}};
}

}  // namespace

std::string_view updateFrameworkRaw(UpdateFramework framework) {
  return std::ranges::find(kFrameworks, framework, &FrameworkRow::framework)->raw;
}

std::optional<UpdateFramework> updateFrameworkFromRaw(std::string_view raw) {
  auto it = std::ranges::find(kFrameworks, raw, &FrameworkRow::raw);
  if (it == kFrameworks.end()) return std::nullopt;
  return it->framework;
}

std::string_view updateFrameworkDescription(UpdateFramework framework) {
  return std::ranges::find(kFrameworks, framework, &FrameworkRow::framework)->description;
}

UpdateFrameworkFinding UpdateFrameworkDetection::detect(const std::filesystem::path& bundle,
                                                        std::string_view bundleId) const {
  std::filesystem::path receipt = bundle / "Contents" / "_MASReceipt" / "receipt";
  if (pathExists(receipt)) return {UpdateFramework::kMas, {{"path", receipt.string()}}};
  if (bundleId.starts_with("com.macpaw.") || insideFolder(bundle, folders_.setappFolder))
    return {UpdateFramework::kSetapp, {{"path", bundle.string()}}};
  if (bundleId.starts_with("com.adobe.") && bundleId != "com.adobe.Reader") {
    return {UpdateFramework::kAdobeCCM,
            {{"detection", "bundleid"},
             {"ccm_directory_present", trueFalse(pathExists(folders_.adobeDesktopCommon))}}};
  }
  if (std::ranges::find(kMicrosoftAutoUpdateIds, bundleId) != kMicrosoftAutoUpdateIds.end()) {
    return {UpdateFramework::kMicrosoftMAU,
            {{"detection", "bundleid"},
             {"mau_directory_present", trueFalse(pathExists(folders_.microsoftAutoUpdate))}}};
  }
  if (auto cask = brewCask(bundle)) return *cask;
  PlistTree info = readPlistDict(bundle / "Contents" / "Info.plist");
  if (!pathExists(bundle / "Contents" / "Frameworks" / "Sparkle.framework")) {
    if (plistHasKey(info.get(), "SUFeedURL")) return {UpdateFramework::kCustomSparkle, {}};
    return {UpdateFramework::kNone, {}};
  }
  return sparkle(bundle, info.get());
}

std::optional<UpdateFrameworkFinding> UpdateFrameworkDetection::brewCask(
    const std::filesystem::path& bundle) const {
  std::vector<std::string> names = caskNamesFor(bundle);
  for (const std::filesystem::path& room : folders_.caskrooms) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(room, ec)) {
      std::string cask = entry.path().filename().string();
      if (std::ranges::find(names, lowered(cask)) == names.end()) continue;
      return UpdateFrameworkFinding{
          UpdateFramework::kBrewCask,
          {{"cask", cask}, {"caskroom", room.string()}, {"version", caskVersion(entry.path())}}};
    }
  }
  return std::nullopt;
}

}  // namespace brimvale::apps
