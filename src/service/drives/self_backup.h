// The daily self-backup: the service's configuration and state (without
// logs) copied onto the drive under a dated folder, the oldest pruned.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// Copies brim-vale.conf, state/ (without *.log) and sync/ into
// {working folder}/Brimvale-Backup/{UTC date} with rsync -a, writes
// manifest.txt, then keeps only the SELF_BACKUP_RETENTION_DAYS newest dated
// folders. Without a usable drive it only says so. Returns the exit status
// (always 0: a failed copy is logged, never fatal). Requires loaded configuration.
int backupSelfCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
