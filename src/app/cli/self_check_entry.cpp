#include "app/cli/self_check_entry.h"

#include <string>

#include "app/host/self_check.h"
#include "app/host/service_installer.h"

namespace brimvale::app {
namespace {

int selfCheck(CommandContext& c) {
  InstallerOptions options = c.installerOptions();
  ServiceInstaller installer(c.paths, options, *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  SelfCheck check(c.paths, options.scriptsFolder, installer, *c.host.services, systemClock());
  SelfCheckReport report = check.run();
  c.out << report.text();
  return report.needsAttention() ? 1 : 0;
}

}  // namespace

CommandEntry selfCheckEntry() {
  return commandEntry("self-check",
                      "audit the service installation and repair what can be repaired", selfCheck);
}

}  // namespace brimvale::app
