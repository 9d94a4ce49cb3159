// One run of the mover's copy tool: started from a thread of its own (the
// copy is bound to it), its output cut into lines and handed to the loop
// thread in batches, with one drain queued at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"

namespace brimvale::mover {

struct CopyLine {
  bool isErr = false;
  std::string text;
};

// Cuts one stream's chunks into lines at '\r' or '\n' (progress lines end in
// '\r'), keeping an unfinished line for the next chunk; empty lines are dropped.
class LineSplitter {
 public:
  explicit LineSplitter(bool isErr) : isErr_(isErr) {}
  [[nodiscard]] std::vector<CopyLine> feed(std::string_view chunk);

 private:
  bool isErr_;
  std::string pending_;
};

struct CopyRunHooks {
  // Runs a task on the loop thread.
  std::function<void(std::function<void()>)> post;
  // On the copy's thread, as soon as it runs: its pid, also its process
  // group, so the loop can stop it with kill(-pid).
  std::function<void(int pid)> running;
  // On the loop thread, once: the copy started as `pid`.
  std::function<void(int pid)> started;
  // On the loop thread: the lines gathered since the last batch, in order.
  std::function<void(const std::vector<CopyLine>& batch)> lines;
  // On the loop thread, last: the exit code (-1 when it did not exit), or
  // the reason it could not be started (then the code means nothing).
  std::function<void(int exitCode, const std::string& launchError)> finished;
};

// Starts `program args` through `run` and returns at once.
void startCopyRun(ProcessRunner run, const std::string& program,
                  const std::vector<std::string>& args, CopyRunHooks hooks);

}  // namespace brimvale::mover
