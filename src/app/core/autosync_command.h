// `brimvale autosync`: the watched folders whose settled files go to the fast
// drive by themselves, as links through the folder mover; listed, added,
// changed, switched on and off, removed, and scanned now in the foreground.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/core/mover_commands.h"
#include "cloud/auto_sync_policy.h"
#include "cloud/auto_sync_store.h"

namespace brimvale::app {

struct AutoSyncOptions {
  std::string action;                 // list (default), add, edit, enable, disable, remove, scan
  std::vector<std::string> words;     // add: FOLDER DEST_PARENT; edit: ID DEST_PARENT; others: ID
  std::vector<std::string> excludes;  // add, edit: shell-style name patterns
  bool json = false;                  // list only
};

struct AutoSyncCommandContext {
  MoverCommandContext& mover;
  // True when another program holds the file open; such files wait for a later run.
  std::function<bool(const std::string&)> isOpen = [](const std::string&) { return false; };
  // Where the registration refusals and the store's troubles are logged.
  cloud::AutoSyncLog log = [](const std::string&) {};
};

// One line of `autosync list`: the id's first 8 characters, on or off, the
// watched folder and its destination, and what has been moved so far.
[[nodiscard]] std::string autoSyncListLine(const cloud::AutoSyncPolicy& policy);

// The exit status: 0 done, 1 refused or failed, 2 bad usage.
int autosyncCommand(AutoSyncCommandContext& context, const AutoSyncOptions& options);

}  // namespace brimvale::app
