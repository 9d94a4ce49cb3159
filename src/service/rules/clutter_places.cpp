#include "service/rules/clutter_places.h"

#include <array>

namespace brimvale::service {
namespace {

constexpr std::array kMacDevCaches{
    ClutterFolder{"Library/Caches/Homebrew", "downloaded bottles; brew fetches them again"},
    ClutterFolder{"Library/Caches/CocoaPods", "downloaded pods; pod install fetches them again"},
    ClutterFolder{"Library/Caches/pip", "wheels and downloads; pip fetches them again"},
    ClutterFolder{"Library/Caches/Yarn", "package tarballs; yarn fetches them again"},
    ClutterFolder{".npm/_cacache", "package tarballs; npm fetches them again"},
    ClutterFolder{".pnpm-store", "package files; pnpm fetches them again"},
    ClutterFolder{".cargo/registry/cache", "crate archives; cargo fetches them again"},
    ClutterFolder{"Library/Developer/Xcode/DerivedData", "build products; Xcode rebuilds them"},
};

constexpr std::array kMacSystemLogs{
    ClutterFolder{"Library/Logs/DiagnosticReports", "crash reports already sent or never read"},
    ClutterFolder{"Library/Logs/CrashReporter", "crash reports already sent or never read"},
    ClutterFolder{"Library/Caches/com.apple.QuickLook.thumbnailcache",
                  "previews, drawn again when a file is looked at"},
};

constexpr std::array kMacTrash{
    ClutterFolder{".Trash", "items the user threw away a month ago or longer"},
};

constexpr std::array kMacCategories{
    ReclaimPlaces{"devcaches", kMacDevCaches},
    ReclaimPlaces{"syslog", kMacSystemLogs},
    ReclaimPlaces{"trash", kMacTrash, 30},
};

// Per-tool caches only: each folder holds downloads or build results its tool
// fetches or rebuilds on demand. ~/.m2/repository is left out on purpose:
// Maven installs the user's own artifacts there, which nothing can fetch again.
constexpr std::array kFreedesktopDevCaches{
    ClutterFolder{".cache/pip", "wheels and downloads; pip fetches them again"},
    ClutterFolder{".npm/_cacache", "package tarballs; npm fetches them again"},
    ClutterFolder{".cache/yarn", "package tarballs; yarn fetches them again"},
    ClutterFolder{".local/share/pnpm/store", "package files; pnpm fetches them again"},
    ClutterFolder{".pnpm-store", "package files; pnpm fetches them again"},
    ClutterFolder{".cargo/registry/cache", "crate archives; cargo fetches them again"},
    ClutterFolder{".cache/go-build", "compiled packages; go build rebuilds them"},
    ClutterFolder{".gradle/caches", "dependencies and build outputs; gradle fetches them again"},
    ClutterFolder{".cache/ccache", "compiler results; the next build compiles again"},
};

constexpr std::array kFreedesktopSystemLogs{
    ClutterFolder{".cache/thumbnails", "previews, drawn again when a folder is opened"},
    ClutterFolder{".cache/mesa_shader_cache", "compiled graphics shaders, rebuilt on next use"},
    ClutterFolder{".local/share/xorg", "display server logs of past sessions"},
};

// The Trash folder itself: its files/ and info/ folders are walked together.
constexpr std::array kFreedesktopTrash{
    ClutterFolder{".local/share/Trash", "items the user threw away a month ago or longer"},
};

constexpr std::array kFreedesktopCategories{
    ReclaimPlaces{"devcaches", kFreedesktopDevCaches},
    ReclaimPlaces{"syslog", kFreedesktopSystemLogs},
    ReclaimPlaces{"trash", kFreedesktopTrash, 30, CandidateAge::kTrashRecord},
};

constexpr std::array kMacProbes{
    StorageProbe{"Library/Application Support/MobileSync/Backup", "iOS device backups", true},
    StorageProbe{"Library/Containers/com.docker.docker/Data", "Docker VM data", true},
    StorageProbe{"Library/Developer/CoreSimulator/Devices", "Xcode simulator images", true},
    StorageProbe{"Library/Developer/Xcode/iOS DeviceSupport", "Xcode iOS debug symbols", true},
    StorageProbe{"Library/Developer/Xcode/Archives", "Xcode release archives", true},
    StorageProbe{"Library/Developer/Xcode/DerivedData", "Xcode build cache", true},
    StorageProbe{"Library/Caches/Homebrew", "Homebrew cache", true},
    StorageProbe{"Library/Caches/CocoaPods", "CocoaPods cache", true},
    StorageProbe{"Library/Caches/pip", "Pip cache", true},
    StorageProbe{"Library/Caches/Yarn", "Yarn cache", true},
    StorageProbe{".npm/_cacache", "npm cache", true},
    StorageProbe{".pnpm-store", "pnpm store", true},
    StorageProbe{".cargo/registry/cache", "Cargo registry cache", true},
    StorageProbe{".gradle/caches", "Gradle cache", false},
    StorageProbe{"Library/Application Support/Claude", "Claude app data", true},
    StorageProbe{"Library/Application Support/Cursor", "Cursor app data", true},
    StorageProbe{"Library/Application Support/Code", "VS Code app data", true},
    StorageProbe{"Library/Application Support/Slack", "Slack app data", true},
    StorageProbe{"Library/Application Support/discord", "Discord app data", true},
    StorageProbe{"Library/Application Support/Microsoft Teams", "Microsoft Teams app data", true},
    StorageProbe{"Library/Application Support/Spotify", "Spotify app data", true},
    StorageProbe{"Library/Application Support/zoom.us", "Zoom app data", true},
    StorageProbe{"Library/Application Support/WhatsApp", "WhatsApp app data", true},
    StorageProbe{"Library/Application Support/Figma Desktop", "Figma app data", true},
    StorageProbe{"Downloads", "Downloads folder", true},
    StorageProbe{"Desktop", "Desktop folder", true},
    StorageProbe{".Trash", "Trash", true},
    StorageProbe{"Library/Logs/DiagnosticReports", "Diagnostic reports", true},
    StorageProbe{"Library/Logs/CrashReporter", "Crash reports", true},
    StorageProbe{"Library/Caches/com.apple.QuickLook.thumbnailcache", "Quick Look cache", true},
    StorageProbe{"Library/Mail Downloads", "Mail attachment downloads", true},
    StorageProbe{"/Applications", "Installed apps", false},
    StorageProbe{"Library/Photos", "Photos library", false},
    StorageProbe{"Library/Mail", "Mail message store", false},
    StorageProbe{"Documents", "Documents folder", true},
};

// No probe lies inside another, so the done line's total counts nothing
// twice: the per-tool caches under ~/.cache are part of its own line.
// Installed software (flatpak runtimes, snaps) and Maven's repository are
// shown but not offered: removing them is the package tool's business.
constexpr std::array kFreedesktopProbes{
    StorageProbe{".local/share/containers", "Container images", true},
    StorageProbe{".local/share/docker", "Docker data", true},
    StorageProbe{".local/share/libvirt", "Virtual machine images", true},
    StorageProbe{".local/share/gnome-boxes", "GNOME Boxes machines", true},
    StorageProbe{".local/share/flatpak", "Flatpak apps and runtimes", false},
    StorageProbe{".var/app/*/cache", "Flatpak app cache", true},
    StorageProbe{"snap", "Snap app data", false},
    StorageProbe{".cache", "Cache folder", true},
    StorageProbe{".npm/_cacache", "npm cache", true},
    StorageProbe{".local/share/pnpm/store", "pnpm store", true},
    StorageProbe{".pnpm-store", "pnpm store", true},
    StorageProbe{".cargo/registry/cache", "Cargo registry cache", true},
    StorageProbe{".gradle/caches", "Gradle cache", true},
    StorageProbe{".m2/repository", "Maven repository", false},
    StorageProbe{".config/Code", "VS Code app data", true},
    StorageProbe{".config/Cursor", "Cursor app data", true},
    StorageProbe{".config/Slack", "Slack app data", true},
    StorageProbe{".config/discord", "Discord app data", true},
    StorageProbe{".local/share/Steam", "Steam games", true},
    StorageProbe{"Downloads", "Downloads folder", true},
    StorageProbe{"Desktop", "Desktop folder", true},
    StorageProbe{".local/share/Trash", "Trash", true},
    StorageProbe{"Videos", "Videos folder", true},
    StorageProbe{"Documents", "Documents folder", true},
};

}  // namespace

std::span<const ReclaimPlaces> reclaimPlaces(HomeLayout layout) {
  if (layout == HomeLayout::kFreedesktop) return kFreedesktopCategories;
  return kMacCategories;
}

const ReclaimPlaces* findReclaimPlaces(HomeLayout layout, std::string_view name) {
  for (const auto& places : reclaimPlaces(layout)) {
    if (places.name == name) return &places;
  }
  return nullptr;
}

std::span<const StorageProbe> storageProbes(HomeLayout layout) {
  if (layout == HomeLayout::kFreedesktop) return kFreedesktopProbes;
  return kMacProbes;
}

}  // namespace brimvale::service
