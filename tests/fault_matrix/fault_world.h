// One world for a cell of the fault matrix: a throw-away home, a drive whose
// files survive being unplugged (a tmpfs of its own, bound onto
// /Volumes/<label> and unbound to unplug it), Brimvale's configuration naming
// that drive, and the real programs run in it with the hidden hooks that stop
// or pause them at a named step.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/base/process.h"
#include "testing/base/temp_home.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale::faults {

enum class Program { kApp, kService };

// One command line of either program, run with HOME set to the world's home.
struct Invocation {
  Program program = Program::kApp;
  std::vector<std::string> args;
  std::string stdinData;
  std::vector<std::pair<std::string, std::string>> env;
};

// A program waiting at a step (--pause-at): the test acts, then releases it.
class Pause {
 public:
  Pause(std::filesystem::path flag, std::string step);
  [[nodiscard]] std::string option() const;
  // Whether the program reached the step within `timeout`; stops waiting
  // early once `ended` says the program finished without reaching it.
  [[nodiscard]] bool reached(std::chrono::milliseconds timeout,
                             const std::function<bool()>& ended = {}) const;
  void release() const;
  [[nodiscard]] const std::filesystem::path& flag() const { return flag_; }

 private:
  std::filesystem::path flag_;
  std::string step_;
};

class FaultWorld {
 public:
  explicit FaultWorld(const std::string& label, const std::string& driveSize = "64m");
  ~FaultWorld();
  FaultWorld(const FaultWorld&) = delete;
  FaultWorld& operator=(const FaultWorld&) = delete;

  // Empty when the drive is mounted and laid out; else why not.
  [[nodiscard]] const std::string& whyNot() const { return whyNot_; }
  [[nodiscard]] const brimvale::testing::TempHome& home() const { return home_; }
  [[nodiscard]] std::filesystem::path drive() const { return mountPoint_; }
  [[nodiscard]] std::filesystem::path working() const;
  // A folder outside the home and the drive: decoys, remotes, a second drive's backing.
  [[nodiscard]] std::filesystem::path scratch() const { return scratch_.path(); }
  // Where user content can be: the home, the drive's files (plugged or not) and scratch.
  [[nodiscard]] std::vector<std::filesystem::path> contentRoots() const;

  // A second drive (for transfers between drives), made on first use and
  // mounted at /Volumes/<label>-second; its files count as content too.
  [[nodiscard]] std::filesystem::path secondDrive(const std::string& size = "64m");

  void unplug();
  void replug();
  // Leaves about `leaveBytes` free on the drive.
  void fillDrive(std::uintmax_t leaveBytes = 16 * 1024);
  // A full (or read-only) file system mounted over ~/.brimvale/state, holding
  // its files as they were; releaseState() puts back a normal folder with
  // whatever the programs managed to write.
  void fillState();
  void makeStateReadOnly();
  void releaseState();

  [[nodiscard]] ProcessResult run(const Invocation& what,
                                  const std::vector<std::string>& hooks = {},
                                  std::chrono::seconds deadline = std::chrono::seconds(120)) const;
  [[nodiscard]] std::future<ProcessResult> start(const Invocation& what,
                                                 const std::vector<std::string>& hooks = {}) const;
  [[nodiscard]] Pause pauseAt(const std::string& step) const;

 private:
  brimvale::testing::TempHome home_;
  brimvale::testing::TempFolder scratch_;
  std::unique_ptr<brimvale::testing::TmpfsMount> backing_;
  std::unique_ptr<brimvale::testing::TmpfsMount> stateMount_;
  std::unique_ptr<brimvale::testing::TmpfsMount> second_;
  std::filesystem::path mountPoint_;
  bool plugged_ = false;
  bool stateBound_ = false;
  mutable int pauses_ = 0;
  std::string whyNot_;
};

}  // namespace brimvale::faults
