// An in-memory platform for unit tests: every answer is a field the test sets.
#pragma once

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "testing/platform/fake_launcher.h"

namespace brimvale::platform::testing {

struct FakeState {
  std::set<std::string> mountPoints;
  VolumeSpace internal{100'000'000'000, 500'000'000'000};
  VolumeSpace drive{800'000'000'000, 1'000'000'000'000};
  std::uint64_t idleSecs = 0;
  PowerState power;
  std::string computerName = "Test Mac";
  std::set<std::string> runningProcesses;
  std::vector<std::tuple<std::string, std::string, std::string>> directNotifications;
  std::vector<std::string> rsyncCandidates;
  std::set<std::string> openPaths;
  std::set<std::string> datalessPaths;
  std::string volumeUuid;
  std::vector<std::string> revealedFolders;
  std::map<std::string, DriveInfo> driveInfo;  // by path; others are empty
  std::vector<std::string> volumeFolders;
  // Each mountVolume call as {uuid, name, mountPath}; when mountMakesMounted
  // is set, the call mounts mountPath.
  std::vector<std::tuple<std::string, std::string, std::string>> mountRequests;
  bool mountMakesMounted = false;
  std::set<std::string> loadedAgents;
  // The real tool runner (usage probed on every call), pointed at stand-ins by
  // tests that need eviction.
  CloudToolPaths cloudTools{"/nonexistent/brctl", "/nonexistent/fileproviderctl", ""};
  std::size_t localSnapshotCount = 0;
  FakeProcesses launches;
};

// Builds a Platform whose facilities read and write `state` (which must
// outlive it). Measurements of "/" return `internal`, of anything else `drive`.
inline Platform makeFakePlatform(FakeState& state) {
  struct Mounts : MountTable {
    FakeState& s;
    explicit Mounts(FakeState& st) : s(st) {}
    bool isMountedAt(const std::string& path) override { return s.mountPoints.contains(path); }
  };
  struct Volumes : VolumeMeter {
    FakeState& s;
    explicit Volumes(FakeState& st) : s(st) {}
    VolumeSpace measure(const std::string& path) override {
      return path == "/" ? s.internal : s.drive;
    }
  };
  struct Activity : UserActivity {
    FakeState& s;
    explicit Activity(FakeState& st) : s(st) {}
    std::uint64_t idleSeconds() override { return s.idleSecs; }
    PowerState power() override { return s.power; }
  };
  struct Host : HostIdentity {
    FakeState& s;
    explicit Host(FakeState& st) : s(st) {}
    std::string computerName() override { return s.computerName; }
  };
  struct Processes : ProcessTable {
    FakeState& s;
    explicit Processes(FakeState& st) : s(st) {}
    bool isRunning(std::string_view name) override {
      return s.runningProcesses.contains(std::string(name));
    }
  };
  struct Notifier : DirectNotifier {
    FakeState& s;
    explicit Notifier(FakeState& st) : s(st) {}
    void notify(const std::string& t, const std::string& b, const std::string& snd) override {
      s.directNotifications.emplace_back(t, b, snd);
    }
  };
  struct Rsync : RsyncLocator {
    FakeState& s;
    explicit Rsync(FakeState& st) : s(st) {}
    std::vector<std::string> candidates() override { return s.rsyncCandidates; }
  };
  struct Files : FileFacts {
    FakeState& s;
    explicit Files(FakeState& st) : s(st) {}
    bool isOpen(const std::string& path) override { return s.openPaths.contains(path); }
    bool isDataless(const std::string& path) override { return s.datalessPaths.contains(path); }
    std::string volumeUuid(const std::string&) override { return s.volumeUuid; }
    void revealFolder(const std::string& path) override { s.revealedFolders.push_back(path); }
  };
  struct Drives : DriveTools {
    FakeState& s;
    explicit Drives(FakeState& st) : s(st) {}
    DriveInfo info(const std::string& path) override {
      auto it = s.driveInfo.find(path);
      return it == s.driveInfo.end() ? DriveInfo{} : it->second;
    }
    std::vector<std::string> volumeFolders() override { return s.volumeFolders; }
    void mountVolume(const std::string& uuid, const std::string& name,
                     const std::string& mountPath) override {
      s.mountRequests.emplace_back(uuid, name, mountPath);
      if (s.mountMakesMounted) s.mountPoints.insert(mountPath);
    }
    Result<std::string> eject(const std::string& path) override {
      s.mountPoints.erase(path);
      return "Disk " + path + " ejected";
    }
    bool askToQuit(const std::string&) override { return false; }
    std::string openFilesBelow(const std::string&) override { return {}; }
  };
  struct Agents : ServiceAgents {
    FakeState& s;
    explicit Agents(FakeState& st) : s(st) {}
    bool isLoaded(const std::string& label) override { return s.loadedAgents.contains(label); }
  };
  // Built afresh per call so a test may point cloudTools at a stand-in at any time.
  struct Eviction : CloudEviction {
    FakeState& s;
    explicit Eviction(FakeState& st) : s(st) {}
    bool installed(EvictionTool t) override {
      return makeToolCloudEviction(s.cloudTools, runProcess)->installed(t);
    }
    bool supportsEvict(EvictionTool t) override {
      return makeToolCloudEviction(s.cloudTools, runProcess)->supportsEvict(t);
    }
    bool evict(EvictionTool t, const std::string& file) override {
      return makeToolCloudEviction(s.cloudTools, runProcess)->evict(t, file);
    }
  };
  struct Snapshots : LocalSnapshots {
    FakeState& s;
    explicit Snapshots(FakeState& st) : s(st) {}
    std::size_t count() override { return s.localSnapshotCount; }
  };
  Platform p;
  p.mounts = std::make_unique<Mounts>(state);
  p.volumes = std::make_unique<Volumes>(state);
  p.activity = std::make_unique<Activity>(state);
  p.host = std::make_unique<Host>(state);
  p.processes = std::make_unique<Processes>(state);
  p.launcher = std::make_unique<FakeLauncher>(state.launches);
  p.notifier = std::make_unique<Notifier>(state);
  p.rsync = std::make_unique<Rsync>(state);
  p.files = std::make_unique<Files>(state);
  p.drives = std::make_unique<Drives>(state);
  p.agents = std::make_unique<Agents>(state);
  p.eviction = std::make_unique<Eviction>(state);
  p.snapshots = std::make_unique<Snapshots>(state);
  return p;
}

}  // namespace brimvale::platform::testing
