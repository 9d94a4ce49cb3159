#include "cloud/machine_fingerprint.h"

#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

std::optional<std::time_t> modificationTime(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return st.st_mtime;
}

}  // namespace

MachineFingerprint composeFingerprint(std::optional<std::string> identity,
                                      std::optional<std::time_t> setupTime) {
  bool known = identity && !identity->empty();
  std::string text = "machine:" + (known ? *identity : std::string("unknown-machine")) + "|setup:" +
                     (setupTime ? std::to_string(*setupTime) : std::string("unknown-setup"));
  return MachineFingerprint{std::move(text), known};
}

MachineFingerprint linuxFingerprint(const std::filesystem::path& machineIdFile) {
  std::optional<std::string> identity;
  std::ifstream in(machineIdFile);
  std::string line;
  if (in && std::getline(in, line)) identity = trimmed(line);
  return composeFingerprint(identity, modificationTime(machineIdFile));
}

std::optional<std::string> parseIoregPlatformUuid(std::string_view output) {
  static const std::regex kLine(R"re("IOPlatformUUID"\s*=\s*"([^"]+)")re");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_search(output.begin(), output.end(), m, kLine)) return std::nullopt;
  return m[1].str();
}

MachineFingerprint macFingerprint(const ProcessRunner& run, const std::string& ioregTool,
                                  const std::filesystem::path& setupDoneFile) {
  std::optional<std::string> identity;
  ProcessResult result =
      runTool(run, ioregTool, {"-rd1", "-c", "IOPlatformExpertDevice"}, std::chrono::seconds(10));
  if (result.succeeded()) identity = parseIoregPlatformUuid(result.out);
  return composeFingerprint(identity, modificationTime(setupDoneFile));
}

MachineFingerprint hostFingerprint(const ProcessRunner& run) {
#if defined(__APPLE__)
  return macFingerprint(run, "/usr/sbin/ioreg", "/var/db/.AppleSetupDone");
#else
  (void)run;  // the machine id is a file here
  return linuxFingerprint("/etc/machine-id");
#endif
}

}  // namespace brimvale::cloud
