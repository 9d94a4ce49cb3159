// Everything a subcommand works with: the state paths, the platform, the log,
// the clock and the configuration once loaded. Built once per invocation.
#pragma once

#include <iostream>
#include <optional>
#include <string>

#include "common/base/timestamps.h"
#include "common/state/paths.h"
#include "common/state/service_config.h"
#include "common/state/service_log.h"
#include "platform/platform.h"

namespace brimvale::service {

struct ServiceContext {
  StatePaths paths;
  platform::Platform& platform;
  WallClock clock;
  std::ostream& out;
  std::ostream& err;
  ServiceLog log;
  std::optional<ServiceConfig> config;  // set by loadConfig()

  ServiceContext(StatePaths p, platform::Platform& plat, WallClock c, std::ostream& o,
                 std::ostream& e)
      : paths(std::move(p)),
        platform(plat),
        clock(std::move(c)),
        out(o),
        err(e),
        log(paths.log, clock, out) {}

  [[nodiscard]] const ServiceConfig& cfg() const { return *config; }
  // "BRIM-" + this computer's sanitised name.
  [[nodiscard]] std::string workingFolderName() const;
  // GNU rsync, resolved on first use (RSYNC, then the platform's candidates);
  // empty when none qualifies. Most subcommands never need it, so the
  // version probes are not paid on every invocation.
  [[nodiscard]] const std::string& rsyncPath();

 private:
  std::optional<std::string> rsync_;
};

// Loads brim-vale.conf into ctx.config. On a missing file says the error
// line and returns false (the caller exits 1).
[[nodiscard]] bool loadConfig(ServiceContext& ctx);

}  // namespace brimvale::service
