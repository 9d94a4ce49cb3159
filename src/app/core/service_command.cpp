#include "app/core/service_command.h"

#include "common/base/stop_point.h"

#include "common/base/file_calls.h"

namespace brimvale::app {

bool serviceProgramInstalled(const StatePaths& paths) {
  return isRegularFile(paths.serviceProgram).value_or(false);
}

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
