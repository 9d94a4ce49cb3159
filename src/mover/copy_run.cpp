#include "mover/copy_run.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "common/base/process.h"

namespace brimvale::mover {
namespace {

// rsync writes two lines per copied file; gathering them for this long
// spares both processes a wake-up per line, and is far below what the eye
// can see on a progress bar.
constexpr std::chrono::milliseconds kCopyOutputPacing{25};

// Output handed from the reading thread to the loop thread.
struct PendingLines {
  std::mutex mutex;
  std::vector<CopyLine> lines;
  bool drainQueued = false;
};

}  // namespace

std::vector<CopyLine> LineSplitter::feed(std::string_view chunk) {
  pending_.append(chunk);
  std::vector<CopyLine> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    if (pending_[i] == '\r' || pending_[i] == '\n') {
      if (i > start) lines.push_back({isErr_, pending_.substr(start, i - start)});
      start = i + 1;
    }
  }
  pending_.erase(0, start);
  return lines;
}

void startCopyRun(ProcessRunner run, const std::string& program,
                  const std::vector<std::string>& args, CopyRunHooks hooks) {
  // A thread of its own: it lives exactly as long as the copy, which is bound
  // to it (a crash of this process ends the copy too).
  std::thread([run = std::move(run), program, args, hooks = std::move(hooks)] {
    ProcessInvocation invocation;
    invocation.path = program;
    invocation.args = args;
    invocation.dieWithParent = true;
    invocation.captureLimit = 64 << 10;
    invocation.outputPacing = kCopyOutputPacing;
    invocation.onStart = [&](int pid) {
      hooks.running(pid);
      hooks.post([started = hooks.started, pid] { started(pid); });
    };
    // Lines wait here for the loop thread; one drain is queued at a time, so
    // while the loop is busy the output gathers into larger batches.
    auto pending = std::make_shared<PendingLines>();
    auto collect = [&](bool isErr) {
      auto splitter = std::make_shared<LineSplitter>(isErr);
      return [&hooks, pending, splitter](std::string_view chunk) {
        std::vector<CopyLine> lines = splitter->feed(chunk);
        if (lines.empty()) return;
        {
          std::lock_guard lock(pending->mutex);
          pending->lines.insert(pending->lines.end(), std::make_move_iterator(lines.begin()),
                                std::make_move_iterator(lines.end()));
          if (std::exchange(pending->drainQueued, true)) return;
        }
        hooks.post([pending, deliver = hooks.lines] {
          std::vector<CopyLine> batch;
          {
            std::lock_guard lock(pending->mutex);
            batch.swap(pending->lines);
            pending->drainQueued = false;
          }
          deliver(batch);
        });
      };
    };
    invocation.onStdout = collect(false);
    invocation.onStderr = collect(true);
    ProcessResult r = run(invocation);
    const int code = r.outcome == ProcessOutcome::kExited ? r.exitCode : -1;
    std::string launchError = r.outcome == ProcessOutcome::kFailedToStart ? r.launchError : "";
    hooks.post([finished = hooks.finished, code, launchError = std::move(launchError)] {
      finished(code, launchError);
    });
  }).detach();
}

}  // namespace brimvale::mover
