#include "apps/tcc_scan.h"

#include <algorithm>
#include <array>
#include <utility>

#include "apps/plist_file.h"

namespace brimvale::apps {
namespace {

struct KeyName {
  std::string_view key;
  std::string_view name;
};

constexpr std::array kUsageKeys{
    KeyName{"NSAccessibilityUsageDescription", "Accessibility"},
    KeyName{"NSAppleEventsUsageDescription", "Automation (Apple Events)"},
    KeyName{"NSBluetoothAlwaysUsageDescription", "Bluetooth"},
    KeyName{"NSCalendarsUsageDescription", "Calendars"},
    KeyName{"NSCameraUsageDescription", "Camera"},
    KeyName{"NSContactsUsageDescription", "Contacts"},
    KeyName{"NSDesktopFolderUsageDescription", "Desktop folder"},
    KeyName{"NSDocumentsFolderUsageDescription", "Documents folder"},
    KeyName{"NSDownloadsFolderUsageDescription", "Downloads folder"},
    KeyName{"NSFileProviderDomainUsageDescription", "File Provider"},
    KeyName{"NSFileProviderPresenceUsageDescription", "File Provider"},
    KeyName{"NSFocusStatusUsageDescription", "Focus status"},
    KeyName{"NSLocalNetworkUsageDescription", "Local network"},
    KeyName{"NSLocationAlwaysUsageDescription", "Location"},
    KeyName{"NSLocationAlwaysAndWhenInUseUsageDescription", "Location"},
    KeyName{"NSLocationUsageDescription", "Location"},
    KeyName{"NSLocationWhenInUseUsageDescription", "Location"},
    KeyName{"NSMicrophoneUsageDescription", "Microphone"},
    KeyName{"NSNetworkVolumesUsageDescription", "Network volumes"},
    KeyName{"NSPhotoLibraryUsageDescription", "Photos library"},
    KeyName{"NSPhotoLibraryAddUsageDescription", "Photos library (add only)"},
    KeyName{"NSRemindersUsageDescription", "Reminders"},
    KeyName{"NSRemovableVolumesUsageDescription", "Removable volumes"},
    KeyName{"NSScreenCaptureUsageDescription", "Screen Recording"},
    KeyName{"NSSpeechRecognitionUsageDescription", "Speech Recognition"},
    KeyName{"NSSystemAdministrationUsageDescription", "System Administration"},
    KeyName{"NSSystemExtensionUsageDescription", "System extension"},
};

constexpr std::array kEntitlementKeys{
    KeyName{"com.apple.security.device.camera", "Camera"},
    KeyName{"com.apple.security.device.microphone", "Microphone"},
    KeyName{"com.apple.security.device.audio-input", "Microphone"},
    KeyName{"com.apple.security.personal-information.location", "Location"},
    KeyName{"com.apple.security.personal-information.calendars", "Calendars"},
    KeyName{"com.apple.security.personal-information.contacts", "Contacts"},
    KeyName{"com.apple.security.personal-information.photos-library", "Photos library"},
    KeyName{"com.apple.security.network.client", "Network (outbound)"},
    KeyName{"com.apple.security.network.server", "Network (inbound)"},
    KeyName{"com.apple.security.app-sandbox", "Sandbox (sandboxed app)"},
    KeyName{"com.apple.security.cs.allow-jit", "JIT (just-in-time compilation)"},
    KeyName{"com.apple.security.cs.allow-unsigned-executable-memory", "Unsigned executable memory"},
    KeyName{"com.apple.security.cs.disable-library-validation", "Library validation disabled"},
    KeyName{"com.apple.security.cs.debugger", "Debugger"},
    KeyName{"com.apple.security.automation.apple-events", "Automation (Apple Events)"},
    KeyName{"com.apple.security.files.user-selected.read-only", "User-selected files (read)"},
    KeyName{"com.apple.security.files.user-selected.read-write",
            "User-selected files (read/write)"},
    KeyName{"com.apple.security.files.bookmarks.app-scope", "User-selected files (persistent)"},
    KeyName{"com.apple.security.files.downloads.read-only", "Downloads folder (read)"},
    KeyName{"com.apple.security.files.downloads.read-write", "Downloads folder (read/write)"},
};

constexpr std::array<std::pair<TccSource, std::string_view>, 2> kSourceRaw{{
    {TccSource::kCodesignEntitlement, "codesignEntitlement"},
    {TccSource::kInfoPlistUsageDescription, "infoPlistUsageDescription"},
}};

template <std::size_t N>
std::optional<std::string_view> nameIn(const std::array<KeyName, N>& table, std::string_view key) {
  auto it = std::ranges::find(table, key, &KeyName::key);
  if (it == table.end()) return std::nullopt;
  return it->name;
}

TCCEntitlement entitlement(const KeyName& row, TccSource source) {
  return {std::string(row.key), std::string(row.name), source};
}

}  // namespace

std::string_view tccSourceRaw(TccSource source) {
  return std::ranges::find(kSourceRaw, source, &std::pair<TccSource, std::string_view>::first)
      ->second;
}

std::vector<TCCEntitlement> scanInfoPlistUsage(const std::filesystem::path& bundle) {
  std::vector<TCCEntitlement> out;
  PlistTree info = readPlistDict(bundle / "Contents" / "Info.plist");
  for (const KeyName& row : kUsageKeys) {
    if (plistHasKey(info.get(), std::string(row.key).c_str()))
      out.push_back(entitlement(row, TccSource::kInfoPlistUsageDescription));
  }
  return out;
}

std::vector<TCCEntitlement> signatureEntitlements(const std::vector<std::string>& entitlementKeys) {
  std::vector<TCCEntitlement> out;
  for (const KeyName& row : kEntitlementKeys) {
    if (std::ranges::find(entitlementKeys, row.key) != entitlementKeys.end())
      out.push_back(entitlement(row, TccSource::kCodesignEntitlement));
  }
  return out;
}

std::vector<TCCEntitlement> mergeEntitlements(const std::vector<TCCEntitlement>& first,
                                              const std::vector<TCCEntitlement>& second) {
  std::vector<TCCEntitlement> out;
  auto seen = [&out](const TCCEntitlement& e) {
    return std::ranges::any_of(
        out, [&e](const TCCEntitlement& o) { return o.source == e.source && o.key == e.key; });
  };
  for (const auto* list : {&first, &second}) {
    for (const TCCEntitlement& e : *list)
      if (!seen(e)) out.push_back(e);
  }
  return out;
}

}  // namespace brimvale::apps
