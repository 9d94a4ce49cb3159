#include "service/drives/drive_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/base/best_effort.h"
#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/base/walk_below.h"
#include "common/state/config_file.h"
#include "common/state/config_keys.h"
#include "common/state/parked_names.h"
#include "service/core/marker_file.h"
#include "service/core/notifications.h"
#include "service/core/status_snapshot.h"
#include "service/drives/drive_assessment.h"
#include "service/relocation/relocation.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = 1 << 20;

// Applications known to keep files open on a drive holding relocated caches.
constexpr std::string_view kDependentApps[] = {
    "Xcode",         "Simulator", "Android Studio", "Docker",  "OrbStack",
    "IntelliJ IDEA", "PyCharm",   "WebStorm",       "GoLand",  "RubyMine",
    "PhpStorm",      "CLion",     "DataGrip",       "AppCode", "RustRover"};
constexpr int kQuitWaitSecs = 15;
constexpr std::size_t kOpenFileLines = 15;

std::string indented(std::string_view text, std::size_t maxLines) {
  std::string out;
  std::size_t n = 0;
  for (std::string_view line : splitLines(text)) {
    if (n++ == maxLines) break;
    out += "      " + std::string(line) + "\n";
  }
  return out;
}

bool isFolderAt(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

bool existsAt(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string plainJson(std::string_view text) { return jsonEscape(withoutControlBytes(text)); }

std::string driveObject(ServiceContext& ctx, const fs::path& volume) {
  platform::DriveInfo info = ctx.platform.drives->info(volume.string());
  const std::string name = volume.filename().string();
  bool hasMarker = existsAt(volume / ctx.workingFolderName() / kMarkerFileName) ||
                   existsAt(volume / "Mac" / kMarkerFileName);
  auto str = [](std::string_view key, std::string_view value) {
    return "\"" + std::string(key) + "\":\"" + plainJson(value) + "\"";
  };
  return "{" + str("name", name) + "," + str("path", volume.string()) + "," +
         str("filesystem", info.filesystem) + "," + str("protocol", info.protocol) + "," +
         str("removable", info.removable) + "," + str("location", info.location) + "," +
         str("device", info.device) + "," + str("uuid", info.uuid) +
         ",\"free_mb\":" + std::to_string(info.freeMiB) +
         ",\"total_mb\":" + std::to_string(info.totalMiB) +
         ",\"is_current\":" + (volume == ctx.cfg().nvme() ? "true" : "false") +
         ",\"has_marker\":" + (hasMarker ? "true" : "false") + "}";
}

std::string errorJson(std::string_view message) {
  return JsonObjectWriter().string("error", message).str() + "\n";
}

using Clock = std::chrono::steady_clock;

// Writes `mib` MiB of zeros and flushes them to the device; the seconds it
// took, or nothing when the drive refused a write.
std::optional<double> writeZeros(const fs::path& file, std::size_t mib) {
  const std::string block(kMiB, '\0');
  auto start = Clock::now();
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  bool ok = true;
  for (std::size_t i = 0; ok && i < mib; ++i) {
    ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
  }
  ok = ok && fsync(fd) == 0;
#ifdef POSIX_FADV_DONTNEED
  if (ok) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // so the read test reads the drive
#endif
  close(fd);
  if (!ok) return std::nullopt;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::optional<double> readAll(const fs::path& file) {
  std::string block(kMiB, '\0');
  auto start = Clock::now();
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  ssize_t n = 0;
  while ((n = read(fd, block.data(), block.size())) > 0) {
  }
  close(fd);
  if (n < 0) return std::nullopt;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t mbps(std::size_t mib, double seconds) {
  return seconds > 0 ? static_cast<std::int64_t>(static_cast<double>(mib) / seconds) : 0;
}

// NAME="..." with the characters a double-quoted value treats specially escaped.
std::string quotedAssignment(std::string_view name, const std::string& value) {
  std::string line = std::string(name) + "=\"";
  for (char c : value) {
    if (c == '"' || c == '\\' || c == '$') line += '\\';
    line += c;
  }
  return line + "\"";
}

std::string nvmeLine(const std::string& path) { return quotedAssignment(config_keys::kNvme, path); }

// The path as it is compared and written: absolute, without "." parts or
// trailing slashes ("/Volumes/X/" is the drive mounted at "/Volumes/X").
std::string drivePath(const std::string& given) {
  std::error_code ec;
  fs::path absolute = fs::absolute(given, ec);
  std::string text = (ec ? fs::path(given) : absolute).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Where relocated developer caches leave links behind.
constexpr std::string_view kLinkRoots[] = {"Library/Developer",
                                           "Library/Containers",
                                           "Library/Android",
                                           ".gradle",
                                           ".m2",
                                           ".cargo",
                                           ".rustup",
                                           ".npm",
                                           ".pnpm-store",
                                           ".yarn"};
constexpr std::size_t kMaxDanglingLinks = 20;
constexpr int kLinkDepth = 4;

// Links whose target is missing, at most kLinkDepth levels below each root.
// A folder that cannot be read is passed over: this is a report, not a check.
std::vector<std::string> danglingLinks(const fs::path& home) {
  std::vector<std::string> found;
  for (std::string_view root : kLinkRoots) {
    std::vector<std::string> here;
    for (const FoundLink& link : findLinksUnder(home / root, {.maxDepth = kLinkDepth}).links) {
      std::error_code ec;
      if (!fs::exists(link.link, ec)) here.push_back(link.link.string());
    }
    std::sort(here.begin(), here.end());
    for (auto& link : here) {
      if (found.size() == kMaxDanglingLinks) return found;
      found.push_back(std::move(link));
    }
  }
  return found;
}

bool fstabMentions(const std::string& uuid) {
  if (uuid.empty() || uuid == "unknown") return false;
  auto fstab = readFile("/etc/fstab");
  return fstab && fstab->find(uuid) != std::string::npos;
}

}  // namespace

int listDrivesCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  std::string out = "[";
  bool first = true;
  for (const std::string& folder : ctx.platform.drives->volumeFolders()) {
    std::vector<fs::path> volumes;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code dirEc;
      if (!it->is_directory(dirEc)) continue;
      if (isSystemManagedVolumeName(it->path().filename().string())) continue;
      // A folder nothing is mounted on (left behind by an unmount) is not a
      // drive: what it would report is the file system above it.
      if (!ctx.platform.mounts->isMountedAt(it->path().string())) continue;
      volumes.push_back(it->path());
    }
    std::sort(volumes.begin(), volumes.end());
    for (const fs::path& volume : volumes) {
      if (!first) out += ",";
      first = false;
      out += driveObject(ctx, volume);
    }
  }
  ctx.out << out << "]\n";
  return 0;
}

int assessCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string path = args.empty() ? "" : args[0];
  if (!isFolderAt(path)) {
    ctx.out << "{\"verdict\":\"block\",\"reasons\":[\"Path does not exist or is not a "
               "directory\"]}\n";
    return 1;
  }
  platform::DriveInfo info = ctx.platform.drives->info(path);
  ctx.out << renderAssessmentJson(info, assessDrive(info, ctx.cfg())) << "\n";
  return 0;
}

int benchmarkCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string path = args.empty() ? "" : args[0];
  if (!isFolderAt(path)) {
    ctx.out << errorJson("Path does not exist");
    return 1;
  }
  const std::string pid = std::to_string(getpid());
  const fs::path probe = fs::path(path) / (".hollin-write-test." + pid);
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    ctx.out << errorJson("Drive is not writable");
    return 1;
  }
  close(fd);
  std::error_code ec;
  fs::remove(probe, ec);

  const std::int64_t sizeMb = ctx.cfg().getInt(config_keys::kBenchSizeMb);
  // The test file, twice its size for the cache buster, and a margin.
  if (sizeMb <= 0 ||
      ctx.platform.drives->info(path).freeMiB < static_cast<std::uint64_t>(4 * sizeMb)) {
    ctx.out << errorJson("Not enough free space (need ~" + std::to_string(4 * sizeMb) + "MB)");
    return 1;
  }
  const auto size = static_cast<std::size_t>(sizeMb);
  const fs::path testFile = fs::path(path) / (".hollin-bench." + pid);
  const fs::path buster = fs::path(path) / (".hollin-buster." + pid);
  auto cleanUp = [&] {
    fs::remove(testFile, ec);
    fs::remove(buster, ec);
  };
  std::optional<double> writeSecs = writeZeros(testFile, size);
  std::optional<double> readSecs;
  if (writeSecs && writeZeros(buster, 2 * size)) {
    fs::remove(buster, ec);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    readSecs = readAll(testFile);
  }
  cleanUp();
  if (!writeSecs || !readSecs) {
    ctx.out << errorJson("Drive is not writable");
    return 1;
  }

  const std::int64_t writeMbps = mbps(size, *writeSecs);
  const std::int64_t readMbps = mbps(size, *readSecs);
  BenchmarkLimits limits = benchmarkLimits(ctx.cfg());
  Verdict v = benchmarkVerdict(readMbps, writeMbps, limits);
  JsonObjectWriter w;
  w.number("size_mb", sizeMb)
      .number("write_mbps", writeMbps)
      .number("read_mbps", readMbps)
      .number("min_read_mbps", limits.minReadMbps)
      .number("min_write_mbps", limits.minWriteMbps)
      .number("warn_read_mbps", limits.warnReadMbps)
      .number("warn_write_mbps", limits.warnWriteMbps)
      .string("verdict", v.verdict)
      .raw("notes", jsonStringArray(v.warnings));
  ctx.out << w.str() << "\n";
  return 0;
}

std::size_t countParkedSources(const fs::path& home) { return findParkedOriginals(home).size(); }

namespace {

// Decides and does the switch; says nothing.
DriveSelection switchDrive(ServiceContext& ctx, const std::string& given, ParkedGuard guard,
                           PinnedBase pinned) {
  using Kind = DriveSelection::Kind;
  auto failed = [](Kind kind, DriveSelection s) {
    s.kind = kind;
    s.exitCode = 1;
    return s;
  };
  DriveSelection s;
  if (!isFolderAt(given)) return failed(Kind::kNoSuchPath, {.path = given});
  s.path = drivePath(given);
  if (fs::path(s.path) == ctx.cfg().nvme()) {
    s.kind = Kind::kUnchanged;
    return s;
  }
  if (s.path.find('\n') != std::string::npos) return failed(Kind::kLineBreak, std::move(s));
  if (guard == ParkedGuard::kApply) {
    s.parked = countParkedSources(ctx.paths.home);
    if (s.parked > 0) {
      s.kind = Kind::kParkedSources;
      s.exitCode = 2;
      return s;
    }
  }
  auto original = readFile(ctx.paths.config);
  if (!original) {
    s.configFile = ctx.paths.config;
    s.detail = original.error().message();
    return failed(Kind::kUnreadableConfig, std::move(s));
  }
  // Two switches in one second must not share a backup: the second gets ".1".
  const fs::path backupName =
      ctx.paths.config.string() + ".bak." + formatLocal(ctx.clock(), "%Y%m%d%H%M%S");
  std::string edited;
  bool replaced = false;
  for (std::string_view line : splitLines(*original)) {
    // Every assignment, "export NVMe=" included: a later one would still win.
    const auto name = assignedName(line);
    if (name == config_keys::kNvme) {
      edited += nvmeLine(s.path);
      replaced = true;
    } else if (name == config_keys::kBase && pinned == PinnedBase::kFollowDrive) {
      const auto value = parseConfig(line, ctx.paths.home.string());
      const auto base = value.find(config_keys::kBase);
      const auto moved = base == value.end() || base->second.isArray
                             ? std::nullopt
                             : rebasedPath(base->second.scalar, ctx.cfg().nvme().string(), s.path);
      edited += moved ? quotedAssignment(config_keys::kBase, *moved) : std::string(line);
    } else {
      edited += line;
    }
    edited += '\n';
  }
  // A file without the key runs on the default drive; the choice must still stick.
  if (!replaced) edited += nvmeLine(s.path) + "\n";
  auto saved = writeNewFile(backupName, *original);
  if (!saved) {
    s.detail = saved.error().message();
    return failed(Kind::kBackupFailed, std::move(s));
  }
  s.backup = *saved;
  if (auto written = writeFileAtomically(ctx.paths.config, edited); !written) {
    s.detail = written.error().message();
    return failed(Kind::kWriteFailed, std::move(s));
  }
  // Only what the service reads back counts as switched.
  auto reloaded = loadServiceConfig(ctx.paths, ctx.workingFolderName());
  if (!reloaded || reloaded->nvme() != s.path) {
    s.readBack = reloaded ? reloaded->nvme().string() : std::string("nothing");
    s.restored = writeFileAtomically(ctx.paths.config, *original).has_value();
    return failed(Kind::kReadBackDiffers, std::move(s));
  }
  s.kind = Kind::kSwitched;
  ctx.config = std::move(*reloaded);
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return s;
}

std::string parkedWarning(const DriveSelection& s) {
  return "WARNING: " + std::to_string(s.parked) + " parked '.hollin-old' folder(s) exist.";
}

// The sentence naming why a selection did not switch; empty when it did.
std::string problemOf(const DriveSelection& s) {
  using Kind = DriveSelection::Kind;
  switch (s.kind) {
    case Kind::kSwitched:
    case Kind::kUnchanged: return {};
    case Kind::kNoSuchPath: return "ERROR: target path does not exist: " + s.path;
    case Kind::kLineBreak:
      return "ERROR: a drive path with a line break can't be written to the configuration. "
             "Nothing was changed.";
    case Kind::kParkedSources:
      return parkedWarning(s) + " Switching the drive would leave their links dangling.";
    case Kind::kUnreadableConfig:
      return "ERROR: couldn't read " + s.configFile.string() +
             ". The configuration was not changed. " + s.detail;
    case Kind::kBackupFailed:
      return "ERROR: couldn't back up the configuration, so it was not changed. " + s.detail;
    case Kind::kWriteFailed:
      return "ERROR: couldn't write the configuration; it is unchanged. " + s.detail;
    case Kind::kReadBackDiffers:
      return "ERROR: after the update the configuration still reads the drive as " + s.readBack +
             ", not " + s.path + ". " +
             (s.restored ? "The previous configuration was put back"
                         : "The previous configuration is in " + s.backup.string()) +
             "; nothing else was changed.";
  }
  return {};
}

}  // namespace

void renderDriveSelection(const DriveSelection& s, std::ostream& out, std::ostream& err) {
  using Kind = DriveSelection::Kind;
  switch (s.kind) {
    case Kind::kSwitched:
      out << "Updated NVMe path to: " << s.path << "\n"
          << "Backup: " << s.backup.string() << "\n"
          << "Service config reloaded. Run " << kHostWords.prepDriveCommand
          << " on the new drive to set up the folder layout.\n";
      return;
    case Kind::kUnchanged: out << "Already configured. No change.\n"; return;
    case Kind::kParkedSources:
      out << parkedWarning(s) << "\n"
          << "Switching the drive will cause symlinks to dangle.\n"
          << "Run " << kHostWords.panicRecoveryCommand << " to restore originals first.\n";
      return;
    default: err << s.problem << "\n"; return;
  }
}

DriveSelection selectDrive(ServiceContext& ctx, const std::string& given, ParkedGuard guard,
                           PinnedBase pinned) {
  DriveSelection s = switchDrive(ctx, given, guard, pinned);
  s.problem = problemOf(s);
  renderDriveSelection(s, ctx.out, ctx.err);
  return s;
}

int selectDriveCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string path = args.empty() ? "" : args[0];
  const bool force = args.size() > 1 && args[1] == "force";
  return selectDrive(ctx, path, force ? ParkedGuard::kBypass : ParkedGuard::kApply).exitCode;
}

int nvmeInfoCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const ServiceConfig& cfg = ctx.cfg();
  const bool mounted = ctx.platform.mounts->isMountedAt(cfg.nvme());
  const bool markerOk = existsAt(cfg.base() / kMarkerFileName);
  platform::DriveInfo info;
  if (mounted) info = ctx.platform.drives->info(cfg.nvme());
  const bool fstabPin = fstabMentions(info.uuid);
  platform::VolumeSpace internal = ctx.platform.volumes->measure("/");
  JsonObjectWriter w(JsonObjectWriter::Style::kPretty);
  w.string("mount_path", cfg.nvme().string())
      .boolean("mounted", mounted)
      .boolean("marker_ok", markerOk)
      .string("filesystem", info.filesystem)
      .string("volume_uuid", info.uuid)
      .string("device", info.device);
  if (mounted) {
    platform::VolumeSpace drive = ctx.platform.volumes->measure(cfg.nvme());
    w.number("free_gb", decimalGb(drive.freeBytes)).number("total_gb", decimalGb(drive.totalBytes));
  } else {
    w.null("free_gb").null("total_gb");
  }
  w.string("marker_initialized", markerValue(cfg.base(), "initialized"))
      .string("marker_host", markerValue(cfg.base(), "host"))
      .boolean("fstab_pin", fstabPin)
      .number("internal_free_gb", decimalGb(internal.freeBytes))
      .number("internal_total_gb", decimalGb(internal.totalBytes));
  ctx.out << w.str();
  return 0;
}

int doctorCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const ServiceConfig& cfg = ctx.cfg();
  const std::string nvme = cfg.nvme().string();
  const bool mounted = ctx.platform.mounts->isMountedAt(nvme);
  auto yes = [](bool v, const char* no) { return v ? std::string("yes") : std::string(no); };
  // Every label pads to one column, however long the service manager's name.
  std::string agentLabel = capitalised(kHostWords.userService) + " loaded?";
  agentLabel.resize(std::max<std::size_t>(agentLabel.size() + 1, 24), ' ');
  std::string out = "== " + std::string(kHostWords.serviceTitle) + " doctor ==\n";
  out += "NVMe mounted at " + nvme + "?  " + yes(mounted, "NO") + "\n";
  out += "Marker file present?    " + yes(existsAt(cfg.base() / kMarkerFileName), "NO") + "\n";
  out += "Filesystem:             " +
         (mounted ? ctx.platform.drives->info(nvme).filesystem : std::string()) + "\n";
  out += "fstab pin present?      " +
         yes(fstabMentions(markerValue(cfg.base(), "volume_uuid")), "no") + "\n";
  out += agentLabel + yes(ctx.platform.agents->isLoaded("com.brimvale.service"), "NO") + "\n";
  out += "Config readable?        " + yes(readFile(ctx.paths.config).has_value(), "NO") + "\n";
  out += "Status JSON present?    " + yes(existsAt(ctx.paths.statusJson), "no") + "\n";
  out +=
      "App-cache paths:        " + std::to_string(cfg.array(config_keys::kAppCachePaths).size()) +
      "\n";
  out += "Rules:                  " + std::to_string(cfg.ruleCount()) + "\n";
  out += "\nDangling symlinks under $HOME (top 20):\n";
  for (const std::string& link : danglingLinks(ctx.paths.home)) out += link + "\n";
  out += unfinishedRelocationsReport(ctx);
  ctx.out << out;
  return 0;
}

EjectOutcome ejectNvme(ServiceContext& ctx, const EjectObserver& observe) {
  const ServiceConfig& cfg = ctx.cfg();
  EjectOutcome o;
  o.nvme = cfg.nvme().string();
  observe(o, EjectMoment::kStarted);
  if (!ctx.platform.mounts->isMountedAt(o.nvme)) {
    observe(o, EjectMoment::kNotMounted);
    return o;
  }
  o.mounted = true;
  observe(o, EjectMoment::kPausing);
  // Ejecting while auto-relocate may still start would pull the drive from under a move.
  if (auto paused = touchFile(ctx.paths.paused); !paused) {
    o.exitCode = 1;
    o.pauseError = paused.error().detail;
    ctx.log.log("eject stopped: the pause sentinel could not be created: " + o.pauseError);
    observe(o, EjectMoment::kPauseFailed);
    return o;
  }
  ctx.log.log("paused (for eject)");
  observe(o, EjectMoment::kPaused);

  observe(o, EjectMoment::kQuittingApps);
  for (std::string_view app : kDependentApps) {
    // Asking an application that is not running to quit would launch it first.
    if (!ctx.platform.processes->isRunning(app)) continue;
    if (ctx.platform.drives->askToQuit(std::string(app))) {
      o.askedToQuit.emplace_back(app);
      observe(o, EjectMoment::kAskedToQuit);
    }
  }
  if (!o.askedToQuit.empty()) {
    observe(o, EjectMoment::kWaitingForApps);
    for (int second = 0; second < kQuitWaitSecs && !o.allQuit; ++second) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      o.allQuit = std::none_of(
          o.askedToQuit.begin(), o.askedToQuit.end(),
          [&ctx](const std::string& app) { return ctx.platform.processes->isRunning(app); });
    }
    observe(o, EjectMoment::kAppsWaitedFor);
  }

  observe(o, EjectMoment::kUnmounting);
  auto ejected = ctx.platform.drives->eject(o.nvme);
  if (ejected) {
    o.ejected = true;
    o.ejectMessage = *ejected;
    observe(o, EjectMoment::kEjected);
    note(ctx.paths, ctx.platform,
         {"NVMe ejected", "Safe to disconnect the drive now.",
          cfg.get(config_keys::kNotifySoundInfo)});
    bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "writing the status snapshot");
    observe(o, EjectMoment::kDone);
    return o;
  }
  o.exitCode = 1;
  o.ejectMessage = ejected.error().detail;
  o.openFiles = ctx.platform.drives->openFilesBelow(o.nvme);
  observe(o, EjectMoment::kEjectFailed);
  note(ctx.paths, ctx.platform,
       {"Eject failed", "Files still in use — see Inspect or Log window.",
        cfg.get(config_keys::kNotifySoundAlert)});
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return o;
}

void renderEject(const EjectOutcome& o, EjectMoment moment, std::ostream& out) {
  switch (moment) {
    case EjectMoment::kStarted: out << "=== Ejecting NVMe ===\n"; return;
    case EjectMoment::kNotMounted:
      out << "NVMe is not currently mounted at " << o.nvme << ". Nothing to eject.\n";
      return;
    case EjectMoment::kPausing: out << "\nStep 1/3 — Pausing auto-actions\n"; return;
    case EjectMoment::kPaused:
      out << "    ✓ Pause sentinel created. Auto-relocate is halted.\n";
      return;
    case EjectMoment::kPauseFailed:
      out << "    ✗ The pause sentinel couldn't be created (" << o.pauseError
          << "), so the drive was not ejected. Nothing was changed and your data is safe; "
             "run eject-nvme again once ~/.brimvale/state can be written to.\n";
      return;
    case EjectMoment::kQuittingApps: out << "\nStep 2/3 — Quitting dependent apps\n"; return;
    case EjectMoment::kAskedToQuit:
      out << "    ✓ Sent Quit to " << o.askedToQuit.back() << "\n";
      return;
    case EjectMoment::kWaitingForApps:
      // Shown before the wait, not after it.
      out << "    Waiting up to 15s for apps to release files…\n" << std::flush;
      return;
    case EjectMoment::kAppsWaitedFor:
      out << (o.allQuit ? "    ✓ All quit cleanly\n"
                        : "    ⚠ Some apps did not quit within 15s — eject may fail. They may "
                          "have unsaved changes asking for confirmation.\n");
      return;
    case EjectMoment::kUnmounting:
      out << "\nStep 3/3 — Unmounting " << o.nvme << "\n" << std::flush;
      return;
    case EjectMoment::kEjected: out << "    ✓ " << o.ejectMessage << "\n"; return;
    case EjectMoment::kDone:
      out << "\n=== Done. Safe to physically disconnect the drive. ===\n"
          << "Service stays running (paused). It will detect when NVMe returns.\n";
      return;
    case EjectMoment::kEjectFailed:
      out << "    ✗ Eject failed:\n"
          << indented(o.ejectMessage, std::string::npos) << "\nFiles still in use:\n"
          << indented(o.openFiles, kOpenFileLines);
      return;
  }
}

int ejectNvmeCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return ejectNvme(ctx, [&ctx](const EjectOutcome& outcome,
                               EjectMoment moment) { renderEject(outcome, moment, ctx.out); })
      .exitCode;
}

}  // namespace brimvale::service
