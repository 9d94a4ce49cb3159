#include "e2e_harness.h"

#include "common/state/paths.h"
#include "platform/platform.h"

namespace brimvale::e2e {
namespace fs = std::filesystem;

ProcessResult runBrimVale(const TempHome& home, const std::vector<std::string>& args,
                          std::vector<std::pair<std::string, std::string>> env) {
  env.emplace_back("HOME", home.path().string());
  return runProcess({.path = BRIM_VALE_PATH,
                     .args = args,
                     .envAdditions = std::move(env),
                     .deadline = std::chrono::seconds(60)});
}

std::string thisWorkingFolderName() {
  return workingFolderName(platform::makeHostPlatform().host->computerName());
}

}  // namespace brimvale::e2e
