#include "service/drives/drive_folder_commands.h"

#include <cstdlib>
#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

const std::array<std::string_view, 27> kWorkingFolderLayout{"Caches/Xcode/DerivedData",
                                                            "Caches/Xcode/Archives",
                                                            "Caches/Xcode/iOS-DeviceSupport",
                                                            "Caches/CoreSimulator/Devices",
                                                            "Caches/JetBrains",
                                                            "Caches/Android-SDK",
                                                            "Caches/Homebrew",
                                                            "Caches/npm",
                                                            "Caches/pnpm-store",
                                                            "Caches/yarn",
                                                            "Caches/gradle",
                                                            "Caches/m2",
                                                            "Caches/cargo",
                                                            "Caches/rustup",
                                                            "Containers/Docker",
                                                            "Containers/OrbStack",
                                                            "Backups/MobileSync",
                                                            "Media/Photos-Library",
                                                            "Media/Music",
                                                            "Media/Movies",
                                                            "Projects-Archive",
                                                            "Documents-Archive",
                                                            "Downloads-Archive",
                                                            "Desktop-Archive",
                                                            "AppCache-Archive",
                                                            "Apps",
                                                            "_pending-delete"};

std::string recoveryMarker(const std::string& isoNow, const std::string& host,
                           const std::string& user, const std::string& uuid) {
  return renderKeyValues({{"marker_version", "1"},
                          {"initialized", isoNow},
                          {"host", host},
                          {"user", user},
                          {"volume_uuid", uuid.empty() ? "unknown" : uuid},
                          {"recovered_at", isoNow}});
}

bool isDuplicateVolumeName(std::string_view entry, std::string_view driveName) {
  if (!entry.starts_with(driveName) || entry.size() < driveName.size() + 2) return false;
  std::string_view rest = entry.substr(driveName.size());
  if (rest[0] != ' ') return false;
  rest.remove_prefix(1);
  return rest.find_first_not_of("0123456789") == std::string_view::npos;
}

int recoverCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const fs::path nvme = ctx.cfg().nvme();
  if (!ctx.platform.mounts->isMountedAt(nvme)) {
    ctx.out << "NVMe is not mounted at " << nvme.string() << ". Plug the drive in and try again.\n";
    return 1;
  }
  const fs::path base = nvme / ctx.workingFolderName();
  const fs::path marker = base / kMarkerFileName;
  if (isDirectory(base).value_or(false) && pathExists(marker).value_or(false)) {
    ctx.out << "Working folder already initialised at " << base.string()
            << " \u2014 nothing to recover.\n";
    bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "writing the status snapshot");
    return 0;
  }
  if (!isDirectory(base).value_or(false)) {
    if (!createDirectories(base)) {
      ctx.out << "ERROR: couldn't create " << base.string() << "\n";
      return 2;
    }
    ctx.log.say("Recovery: created working folder at " + base.string());
  }
  for (std::string_view folder : kWorkingFolderLayout) {
    bestEffort(createDirectories(base / folder),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "creating the working folder layout");
  }
  if (!pathExists(marker).value_or(false)) {
    const char* user = std::getenv("USER");
    std::string uuid = ctx.platform.files->volumeUuid(nvme);
    if (uuid.empty()) uuid = "unknown";
    const std::string text = recoveryMarker(isots(ctx.clock()), ctx.platform.host->computerName(),
                                            user ? user : "", uuid);
    if (writeFileAtomically(marker, text)) {
      ctx.log.say("Recovery: wrote marker at " + marker.string() + " (volume UUID " + uuid + ")");
    } else {
      ctx.out << "ERROR: couldn't write the marker file " << marker.string()
              << ". Nothing on the drive was removed; check that the drive is writable and "
                 "run recover again.\n";
      return 2;
    }
  }
  // The configuration was loaded before the folder existed; reload so the
  // snapshot sees the working folder just made.
  if (auto reloaded = loadServiceConfig(ctx.paths, ctx.workingFolderName())) {
    ctx.config = std::move(*reloaded);
  }
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  ctx.out << "Recovery complete. Working folder: " << base.string() << "\n";
  return 0;
}

int validateCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const fs::path nvme = ctx.cfg().nvme();
  std::vector<std::string> reasons;
  if (!ctx.platform.mounts->isMountedAt(nvme))
    reasons.push_back("NVMe not mounted at " + nvme.string());
  if (!pathExists(ctx.cfg().base() / kMarkerFileName).value_or(false)) {
    reasons.emplace_back("Marker file missing \u2014 wrong disk or not prepped");
  }
  const std::string driveName = nvme.filename().string();
  std::error_code ec;
  for (fs::directory_iterator it(nvme.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (isDuplicateVolumeName(entry, driveName) && ctx.platform.mounts->isMountedAt(it->path())) {
      reasons.push_back("Duplicate-named volume mounted at " + nvme.string() + " N");
      break;
    }
  }
  if (reasons.empty()) {
    ctx.out << "VALID  \u2014 " << nvme.string() << " is mounted, marker matches, no duplicates.\n";
    return 0;
  }
  ctx.out << "INVALID:\n";
  for (const auto& reason : reasons) ctx.out << "  \u2022 " << reason << "\n";
  return 1;
}

int showInFinderCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const fs::path nvme = ctx.cfg().nvme();
  if (!ctx.platform.mounts->isMountedAt(nvme)) {
    ctx.out << "NVMe is not mounted. Plug it in and try again.\n";
    return 1;
  }
  const fs::path folder = isDirectory(ctx.cfg().base()).value_or(false) ? ctx.cfg().base() : nvme;
  ctx.platform.files->revealFolder(folder);
  ctx.out << "Opened " << folder.string() << " in " << kHostWords.fileManager << ".\n";
  return 0;
}

}  // namespace brimvale::service
