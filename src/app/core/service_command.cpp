#include "app/core/service_command.h"

#include "common/base/stop_point.h"

namespace brimvale::app {

ProcessResult runServiceCommand(const ProcessRunner& run, const StatePaths& paths,
                                const std::string& rsyncPath, std::vector<std::string> args,
                                std::chrono::seconds limit,
                                std::function<void(std::string_view)> onStdout) {
  // A test build's stop and pause points reach the service's steps too.
  std::vector<std::string> armed = armedStopPointOptions();
  args.insert(args.begin(), armed.begin(), armed.end());
  ProcessInvocation invocation{.path = paths.serviceProgram.string(),
                               .args = std::move(args),
                               .deadline = limit,
                               .onStdout = std::move(onStdout)};
  if (!rsyncPath.empty()) invocation.envAdditions.emplace_back("RSYNC", rsyncPath);
  return run(invocation);
}

}  // namespace brimvale::app
