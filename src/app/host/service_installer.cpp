#include "app/host/service_installer.h"

#include "common/base/stop_point.h"

#include <fcntl.h>
#include <unistd.h>

#include <ranges>

#include "app/core/user_docs.h"
#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/state/config_keys.h"
#include "common/state/service_config.h"

namespace brimvale::app {
namespace fs = std::filesystem;

namespace {

// Puts a copy of `source` at `target` through a temporary sibling renamed
// over it, so a running copy keeps its old file until it exits. The kernel
// copies it a block at a time: the service program can be tens of megabytes,
// more than the whole application otherwise holds in memory.
Result<void> copyIntoPlace(const fs::path& source, const fs::path& target, fs::perms mode) {
  const fs::path temp = temporarySibling(target);
  std::error_code ec;
  auto abandon = [&](const std::string& what) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return fail(Errc::kIo, what + ": " + ec.message());
  };
  if (!fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec)) {
    return abandon("copy " + source.string() + " to " + temp.string());
  }
  fs::permissions(temp, mode, ec);
  if (ec) return abandon("set the mode of " + temp.string());
  // The copy must be on disk before it replaces the old program.
  const int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    ec.assign(errno, std::generic_category());
    if (fd >= 0) close(fd);
    return abandon("fsync " + temp.string());
  }
  close(fd);
  fs::rename(temp, target, ec);
  if (ec) return abandon("rename to " + target.string());
  return {};
}

constexpr std::chrono::seconds kLoadLimit{15};
constexpr std::string_view kServicePath =
    "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/opt/homebrew/bin";

// Older installations made these files readable by others; a migrated file
// gets the mode a fresh installation gives it.
struct Rename {
  const char* from;
  const char* to;
  fs::perms mode;
};
constexpr fs::perms kPrivateFile = fs::perms::owner_read | fs::perms::owner_write;
constexpr std::array kLegacyRenames{
    Rename{"tarnwick.conf", "brim-vale.conf", kPrivateFile},
    Rename{"tarnwick.log", "brim-vale.log", kPrivateFile},
    Rename{"tarnwick.actions.tsv", "brim-vale.actions.tsv", kPrivateFile},
    Rename{"tarnwick.launchd.log", "brim-vale.launchd.log", kPrivateFile},
    Rename{"tarnwick", "brim-vale", fs::perms::owner_all},
};
constexpr std::array kLegacyAgents{"com.hollin.tarnwick.plist", "com.hollin.tarnwick.gui.plist",
                                   "com.hollin.divu-dozar.plist"};

constexpr std::string_view kShimSignature = "# Brimvale command-line shim";

bool installedAt(const fs::path& p) {
  return fs::exists(linkStatus(p).value_or(fs::file_status{}));
}

// Whether the shell finds programs in `folder` by name.
bool onSearchPath(const fs::path& folder, std::string_view searchPath) {
  const fs::path wanted = (folder / "").lexically_normal();
  for (const auto part : std::views::split(searchPath, ':')) {
    const std::string_view entry(part.begin(), part.end());
    if (!entry.empty() && (fs::path(entry) / "").lexically_normal() == wanted) return true;
  }
  return false;
}

std::string leftAloneSentence(const fs::path& entry, const fs::path& instead) {
  return "⚠ " + entry.string() + " belongs to another program, so Brimvale left it as it is; run " +
         instead.string() + " by its full path instead.";
}

}  // namespace

bool isBrimvaleUserCommand(const fs::path& entry) {
  const auto status = linkStatus(entry);
  if (!status || !fs::exists(*status)) return false;
  if (fs::is_symlink(*status)) {
    const auto target = readSymlink(entry);
    return target && target->filename() == entry.filename();
  }
  if (entry.filename() != "brvl" || !fs::is_regular_file(*status)) return false;
  const auto text = readFile(entry);
  return text && text->find(kShimSignature) != std::string::npos;
}

std::string shimScript(const fs::path& program) {
  std::string quoted = "'";
  for (char c : program.string()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return "#!/bin/sh\n" + std::string(kShimSignature) +
         ": forwards to the background service.\nexec " + quoted + " \"$@\"\n";
}

std::string serviceDidNotLoadMessage(const fs::path& definition, const fs::path& home) {
  const fs::path inHome = definition.lexically_relative(home);
  const bool under = !inHome.empty() && *inHome.begin() != "..";
  return "Service didn't load within 10 seconds. Try again, or check " +
         (under ? "~/" + inHome.string() : definition.string()) + " permissions in Terminal.";
}

ServiceInstaller::ServiceInstaller(StatePaths paths, InstallerOptions options,
                                   platform::ServiceManager& services, platform::LogSink say)
    : paths_(std::move(paths)),
      options_(std::move(options)),
      services_(services),
      say_(std::move(say)) {}

platform::ServiceDefinition ServiceInstaller::definition() const {
  platform::ServiceDefinition d;
  d.programArguments = {paths_.serviceProgram.string(), "watch"};
  d.logFile = paths_.root / "brim-vale.launchd.log";
  d.environment.emplace_back("PATH", std::string(kServicePath));
  // Without a resolved GNU rsync the service is pointed at the one shipped
  // beside the application.
  const fs::path bundled = options_.scriptsFolder / "bin";
  d.environment.emplace_back(
      "RSYNC", options_.rsyncPath.empty() ? (bundled / "rsync").string() : options_.rsyncPath);
  if (access((bundled / "rclone").c_str(), X_OK) == 0) {
    d.environment.emplace_back("RCLONE", (bundled / "rclone").string());
  }
  return d;
}

bool ServiceInstaller::isInstalled() const {
  return installedAt(paths_.serviceProgram) && installedAt(services_.definitionPath());
}

void ServiceInstaller::migrateLegacy() {
  const fs::path legacy = paths_.home / ".hollin";
  const DiagnosticsLog diagnostics(paths_.diagnosticsLog);
  // A migration step that fails leaves the old name in place; the next start tries again.
  if (isDirectory(legacy).value_or(false) && !installedAt(paths_.root)) {
    say_("Migrating legacy ~/.hollin → ~/.brimvale");
    bestEffort(renamePath(legacy, paths_.root), diagnostics, "moving the legacy state folder");
  }
  if (isDirectory(paths_.root).value_or(false)) {
    for (const auto& r : kLegacyRenames) {
      if (!installedAt(paths_.root / r.from) || installedAt(paths_.root / r.to)) continue;
      auto renamed = renamePath(paths_.root / r.from, paths_.root / r.to);
      bestEffort(renamed, diagnostics, "renaming a legacy state file");
      if (renamed) {
        bestEffort(setPermissions(paths_.root / r.to, r.mode), diagnostics,
                   "making a migrated state file private");
      }
    }
  }
  const fs::path agents = paths_.home / "Library" / "LaunchAgents";
  for (const char* name : kLegacyAgents) {
    const fs::path plist = agents / name;
    if (!installedAt(plist)) continue;
    if (!options_.launchctl.empty()) {
      (void)options_.run(  // unloading what is not loaded fails harmlessly
          {.path = options_.launchctl, .args = {"unload", plist.string()}, .deadline = kLoadLimit});
    }
    bestEffort(removePath(plist), diagnostics, "removing a legacy agent definition");
    say_(std::string("  unloaded legacy: ") + name);
  }
}

Result<int> ServiceInstaller::copyServicePrograms() {
  std::error_code ec;
  if (!fs::is_directory(options_.scriptsFolder, ec)) {
    return fail(
        Errc::kNotFound,
        "The app bundle is missing its Scripts folder. Reinstall the app from a fresh build.");
  }
  int copied = 0;
  std::string missing;
  for (std::string_view name : kServicePrograms) {
    const fs::path source = options_.scriptsFolder / name;
    const fs::path target = paths_.root / name;
    if (!fs::is_regular_file(source, ec)) {
      if (name == "brim-vale") {
        return fail(Errc::kNotFound,
                    "The service program brim-vale is missing from " +
                        options_.scriptsFolder.string() +
                        ". Nothing was installed; reinstall the app from a fresh build.");
      }
      missing += (missing.empty() ? "" : ", ") + std::string(name);
      continue;
    }
    say_("Copying " + std::string(name) + " → " + target.string());
    if (auto placed = copyIntoPlace(source, target, fs::perms::owner_all); !placed) {
      return std::unexpected(placed.error());
    }
    ++copied;
  }
  if (!missing.empty()) {
    say_("⚠ Optional bundled scripts missing (the service works without them): " + missing);
  }
  return copied;
}

fs::path ServiceInstaller::userBinFolder() const { return paths_.home / ".local" / "bin"; }

fs::path ServiceInstaller::shimPath() const { return userBinFolder() / "brvl"; }

fs::path ServiceInstaller::userDocsFolder() const { return paths_.home / ".local" / "share"; }

std::vector<fs::path> ServiceInstaller::installedFiles() const {
  std::vector<fs::path> files;
  for (std::string_view name : kServicePrograms) files.push_back(paths_.root / name);
  for (std::string_view name : kUserCommands) {
    if (isBrimvaleUserCommand(userBinFolder() / name)) files.push_back(userBinFolder() / name);
  }
  for (std::string_view program : kDocumentedPrograms) {
    for (const auto& file : userDocFiles(program))
      files.push_back(userDocsFolder() / file.relative);
  }
  files.push_back(services_.definitionPath());
  return files;
}

Result<void> ServiceInstaller::writeShim() {
  const fs::path shim = shimPath();
  // A folder that cannot be made shows as the write's failure just below.
  bestEffort(createDirectories(shim.parent_path()), DiagnosticsLog(paths_.diagnosticsLog),
             "creating the folder for the command shim");
  if (entryPresent(shim) && !isBrimvaleUserCommand(shim)) {
    say_(leftAloneSentence(shim, paths_.serviceProgram));
    return {};
  }
  if (auto written = writeFileAtomically(shim, shimScript(paths_.serviceProgram), {.mode = 0700});
      !written) {
    return written;
  }
  say_("CLI shim installed at " + shim.string());
  return {};
}

Result<std::vector<std::string>> ServiceInstaller::linkUserCommands() {
  std::vector<std::pair<std::string_view, fs::path>> links;
  if (!options_.application.empty()) links.emplace_back("brimvale", options_.application);
  links.emplace_back("brim-vale", paths_.serviceProgram);
  std::vector<std::string> ready;
  for (const auto& [name, target] : links) {
    const fs::path entry = userBinFolder() / name;
    std::error_code ec;
    if (fs::equivalent(entry, target, ec)) {  // the program itself was put there
      ready.emplace_back(name);
      continue;
    }
    if (entryPresent(entry) && !isBrimvaleUserCommand(entry)) {
      say_(leftAloneSentence(entry, target));
      continue;
    }
    // A fresh link renamed over the old one: the command is never missing meanwhile.
    const fs::path fresh = entry.string() + ".tmp." + std::to_string(getpid());
    fs::remove(fresh, ec);
    fs::create_symlink(target, fresh, ec);
    if (ec) return std::unexpected(errnoError("linking " + entry.string(), ec.value()));
    if (auto renamed = renamePath(fresh, entry); !renamed) {
      fs::remove(fresh, ec);
      return std::unexpected(renamed.error());
    }
    if (readSymlink(entry).value_or(fs::path()) != target) {
      return fail(Errc::kIo, entry.string() + " does not lead to " + target.string() +
                                 " after linking it; run `brimvale install` again.");
    }
    ready.emplace_back(name);
  }
  if (isBrimvaleUserCommand(shimPath())) ready.emplace_back("brvl");
  return ready;
}

void ServiceInstaller::sayWhatIsReady(const std::vector<std::string>& commands) {
  const fs::path bin = userBinFolder();
  if (!commands.empty()) {
    say_("Commands ready in " + bin.string() + ": " + listedInWords(commands) + ".");
    if (!onSearchPath(bin, options_.searchPath)) {
      say_(bin.string() +
           " is not on your PATH yet, so your shell won't find them by name: add the line "
           "export PATH=\"$HOME/.local/bin:$PATH\" to ~/.profile, then open a new terminal.");
    }
  }
  auto config = loadServiceConfig(paths_, "");
  if (!config) return;
  if (!config->flag(config_keys::kEnableAutoActions)) {
    say_("Automatic actions are off; `brimvale settings auto.enabled on` turns them on.");
    return;
  }
  std::string what = "Automatic actions are on: Brimvale applies your rules ";
  if (config->flag(config_keys::kAutoRelocateDaily)) {
    what += "once a day at " + std::to_string(config->getInt(config_keys::kAutoRelocateHour)) +
            ":00 when the computer is quiet, and ";
  }
  what += "at once when free space on the internal disk falls below " +
          std::to_string(config->getInt(config_keys::kLowSpaceCriticalGb)) + " GB.";
  if (config->ruleCount() == 0)
    what += " There are no rules yet, so nothing moves until you add some.";
  say_(what + " To turn automatic actions off, run `brimvale settings auto.enabled off`.");
}

// Man pages and completion, rendered by the build into Scripts/share; a
// build without them still installs a working service.
Result<void> ServiceInstaller::installUserDocs() {
  const fs::path share = userDocsFolder();
  for (std::string_view program : kDocumentedPrograms) {
    for (const auto& file : userDocFiles(program)) {
      const fs::path source = options_.scriptsFolder / "share" / file.relative;
      auto content = readFile(source);
      if (!content) {
        say_("⚠ Optional bundled file missing: share/" + file.relative.string());
        continue;
      }
      const fs::path target = share / file.relative;
      if (auto made = createDirectories(target.parent_path()); !made) return made;
      if (auto written = writeFileAtomically(target, *content, {.mode = 0644}); !written) {
        return written;
      }
    }
  }
  say_("Manual pages and shell completion installed under " + share.string());
  return {};
}

Result<void> ServiceInstaller::loadAndKickstart() {
  // A copy still loaded shows as the load's failure just below.
  bestEffort(services_.unload(kLoadLimit), DiagnosticsLog(paths_.diagnosticsLog),
             "unloading the service before loading it again");
  if (auto loaded = services_.load(); !loaded) return loaded;
  if (auto kicked = services_.kickstart(); !kicked) {
    const std::string& detail = kicked.error().detail;
    say_("⚠ " + std::string(kHostWords.serviceStartCommand) + " returned " +
         detail.substr(0, detail.find(' ')));
    say_(capitalised(kHostWords.userService) + " loaded; " +
         std::string(kHostWords.serviceStartRetry));
    return {};
  }
  say_(capitalised(kHostWords.userService) +
       " loaded + kickstarted; watch loop will tick within 30s.");
  return {};
}

Result<void> ServiceInstaller::installSteps() {
  migrateLegacy();
  std::error_code ec;
  fs::create_directories(paths_.state, ec);
  if (ec) return std::unexpected(errnoError("creating " + paths_.state.string(), ec.value()));
  fs::permissions(paths_.root, fs::perms::owner_all, ec);
  fs::permissions(paths_.state, fs::perms::owner_all, ec);
  if (auto copied = copyServicePrograms(); !copied) return std::unexpected(copied.error());

  if (!installedAt(paths_.config)) {
    auto bundled = readFile(options_.scriptsFolder / "brim-vale.conf");
    const std::string text = bundled ? *bundled : configTemplate();
    if (auto written = writeFileAtomically(paths_.config, text, {.mode = 0600}); !written) {
      return written;
    }
    // A fresh Linux configuration names no drive: say how to choose one.
    if (auto fresh = loadServiceConfig(paths_, ""); fresh && !fresh->hasDrive()) {
      say_(std::string(kChooseDriveNext));
    }
  }
  if (auto shim = writeShim(); !shim) return shim;
  auto commands = linkUserCommands();
  if (!commands) return std::unexpected(commands.error());
  if (auto docs = installUserDocs(); !docs) return docs;
  if (auto written = services_.writeDefinition(definition()); !written) return written;
  say_(capitalised(kHostWords.userService) + " written to " + services_.definitionPath().string() +
       std::string(kHostWords.serviceDefinitionNote));
  if (!services_.keepsServiceManaged()) {
    say_(std::string(kFilesOnlyInstall));
  } else if (auto started = loadAndKickstart(); !started) {
    return started;
  }
  sayWhatIsReady(*commands);
  return {};
}

Result<void> ServiceInstaller::install() {
  auto done = installSteps();
  if (done) {
    say_("✓ Install complete.");
  } else {
    say_("✗ Install failed: " + done.error().detail);
  }
  return done;
}

void ServiceInstaller::startService() {
  if (!isInstalled()) {
    (void)install();  // says how it went on its own
    return;
  }
  if (auto copied = copyServicePrograms()) {
    say_("refreshed " + std::to_string(*copied) + " service scripts from " +
         options_.scriptsFolder.string());
  }
  if (services_.definitionIsOutdated()) {
    say_("migrating " + std::string(kHostWords.userService) + " " +
         std::string(kHostWords.serviceDefinition) + " to app-centric lifecycle");
    bestEffort(services_.writeDefinition(definition()), DiagnosticsLog(paths_.diagnosticsLog),
               "rewriting the service definition");
  }
  // A copy still loaded shows as the load's failure just below.
  bestEffort(services_.unload(kLoadLimit), DiagnosticsLog(paths_.diagnosticsLog),
             "unloading the service before loading it again");
  if (auto loaded = services_.load(); !loaded) {
    say_("daemon load failed pre-splash: " + loaded.error().detail);
    return;
  }
  if (auto kicked = services_.kickstart(); !kicked) {
    say_("daemon kickstart failed pre-splash (rc=" +
         kicked.error().detail.substr(0, kicked.error().detail.find(' ')) + ")");
    return;
  }
  say_("daemon loaded + kickstarted pre-splash (app-centric lifecycle)");
}

void ServiceInstaller::stopService() {
  auto unloaded = services_.unload(kQuitUnloadLimit);
  if (!unloaded && unloaded.error().code == Errc::kTimedOut) {
    say_("launchctl unload did not return within 5 s; leaving for OS to reap");
  }
}

}  // namespace brimvale::app
