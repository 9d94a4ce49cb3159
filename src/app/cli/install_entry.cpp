#include "app/cli/install_entry.h"

#include <string>

#include "app/host/service_installer.h"

namespace brimvale::app {
namespace {

int install(CommandContext& c) {
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  return installer.install() ? 0 : 1;
}

}  // namespace

CommandEntry installEntry() {
  return commandEntry("install", "install the background service into ~/.brimvale and start it",
                      install);
}

}  // namespace brimvale::app
