#include "app/dashboard/dashboard_sources.h"

namespace brimvale::app {

MoverCommandContext moverContextFor(const DashboardSources& sources, std::ostream& out,
                                    std::ostream& err, std::istream& noAnswers) {
  MoverCommandContext context{
      sources.paths, sources.platform, &sources.mounts, sources.computerName, out, err, noAnswers};
  context.snapshotTool = sources.snapshotTool;
  context.run = platform::runnerOf(sources.launcher);
  return context;
}

JobThread::~JobThread() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) thread_.join();
}

bool JobThread::start(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (running_.exchange(true)) return false;
  if (thread_.joinable()) thread_.join();
  thread_ = std::thread([this, work = std::move(work)] {
    work();
    running_ = false;
  });
  return true;
}

}  // namespace brimvale::app
