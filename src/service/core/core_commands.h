// The reporting subcommands: status, json, actions, log.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

int statusCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int jsonCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int actionsCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int logCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
