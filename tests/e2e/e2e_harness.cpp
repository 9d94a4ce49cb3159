#include "e2e_harness.h"

#include "common/base/file_io.h"
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

fs::path makeStatusWritingScripts(const TempHome& home, bool stopsOnTerm) {
  const fs::path scripts = home.path() / "Scripts";
  fs::create_directories(scripts);
  (void)writeFileAtomically(scripts / "brim-vale",
                            "#!/bin/sh\nreal='" BRIM_VALE_PATH
                            "'\n"
                            "if [ \"$1\" = watch ]; then\n"
                            "  trap '" +
                                std::string(stopsOnTerm ? "exit 0" : "") +
                                "' TERM\n"
                                "  while :; do \"$real\" json >/dev/null; sleep 1 & wait $!; done\n"
                                "fi\n"
                                "exec \"$real\" \"$@\"\n",
                            {.mode = 0700});
  return scripts;
}

std::vector<pid_t> processesOf(const std::string& word, const fs::path& home) {
  const std::string homeVariable = std::string("HOME=") + home.string() + '\0';
  std::vector<pid_t> found;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    auto cmdline = readFile(e.path() / "cmdline");
    if (!cmdline || cmdline->find(word) == std::string::npos) continue;
    auto environ = readFile(e.path() / "environ");
    if (environ && environ->find(homeVariable) != std::string::npos) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

std::string thisWorkingFolderName() {
  return workingFolderName(platform::makeHostPlatform().host->computerName());
}

}  // namespace brimvale::e2e
