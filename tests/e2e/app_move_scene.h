// Tests and benchmarks only: brimvale run (through nsenter) in a mount namespace
// whose /Applications is a fresh tmpfs, read back through /proc/<holder>/root;
// the facts a moved bundle must keep, and the kill loop over apps move/move-back.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/base/process.h"
#include "testing/base/temp_home.h"

namespace brimvale::e2e {

// Relative path -> kind, mode, size, checksum, link target, `user.` attributes
// and which hard-link group it belongs to; the root is read through a link.
using BundleFacts = std::map<std::string, std::string>;
[[nodiscard]] BundleFacts bundleFacts(const std::filesystem::path& bundle);

// An app bundle whose executable prints "<name> runs", with `files`
// resources, an odd mode, an inner link, a hard link and an attribute.
void writeBundle(const std::filesystem::path& bundle, const std::string& name, int files);

[[nodiscard]] bool isRealBundle(const std::filesystem::path& path);
[[nodiscard]] bool linksTo(const std::filesystem::path& link, const std::filesystem::path& target);

class AppMoveScene {
 public:
  // `drive` is a mounted tmpfs; its working folder is made and named as the
  // drive in the status file brimvale reads.
  AppMoveScene(const brimvale::testing::TempHome& home, const std::filesystem::path& drive);
  ~AppMoveScene();
  AppMoveScene(const AppMoveScene&) = delete;
  AppMoveScene& operator=(const AppMoveScene&) = delete;

  [[nodiscard]] bool ready() const { return holder_ > 0; }
  [[nodiscard]] const std::string& whyNot() const { return whyNot_; }
  // The namespace's /Applications, as this process reaches it.
  [[nodiscard]] const std::filesystem::path& applications() const { return applications_; }
  [[nodiscard]] const std::filesystem::path& working() const { return working_; }

  // brimvale ARGS in the namespace, to its end.
  [[nodiscard]] ProcessResult app(const std::vector<std::string>& args) const;

  // brimvale ARGS in the namespace in the background, output to a file.
  class Running {
   public:
    Running(pid_t pid, std::filesystem::path output) : pid_(pid), output_(std::move(output)) {}
    Running(Running&& other) noexcept;
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    [[nodiscard]] bool running();
    void signal(int sig) const;
    // The exit code, or 128 + the signal that ended it.
    int wait();
    [[nodiscard]] std::string output() const;

   private:
    pid_t pid_ = -1;
    std::filesystem::path output_;
    int status_ = -1;
  };
  [[nodiscard]] Running start(const std::vector<std::string>& args,
                              const std::string& outputName) const;

  // Move records of apps that live on the drive now.
  [[nodiscard]] int liveMoves() const;
  // Parked originals that no move record names.
  [[nodiscard]] int unrecordedParked() const;

 private:
  [[nodiscard]] std::vector<std::string> inNamespace(const std::vector<std::string>& args) const;

  const brimvale::testing::TempHome& home_;
  pid_t holder_ = -1;
  std::string whyNot_;
  std::filesystem::path applications_;
  std::filesystem::path working_;
};

struct KillLoopTally {
  int tried = 0;
  int notReached = 0;  // the stop point never came: the kill proved nothing
  int lost = 0;        // bundles not whole where they belong after the re-run
};

// For each stop point: a fresh bundle, `apps move` (or, for an
// "app-move-back" point, a move and then `apps move-back`) killed there,
// then the same command run again (it repairs first, as a start would) and
// the app checked where the user looks for it, nothing parked without a
// record. Prints a line per point to `log` when given.
[[nodiscard]] KillLoopTally runAppMoveKillLoop(const AppMoveScene& scene,
                                               const std::vector<std::string>& points,
                                               std::ostream* log = nullptr);

}  // namespace brimvale::e2e
