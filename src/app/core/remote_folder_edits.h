// The remote browser's two changes from the command line: making a folder,
// and deleting one file or one empty folder after the user agreed.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "cloud/rclone_client.h"

namespace brimvale::app {

struct RemoteFolderEdit {
  const cloud::RcloneClient& client;
  std::ostream& out;
  std::ostream& err;
  std::istream* in = nullptr;  // where the [y/N] answer comes from
  bool interactive = false;    // `in` is a terminal: the question can be asked
  bool yes = false;            // --yes: agreed without a question
};

// `target` is NAME:PATH with a path below the remote's top. The exit status:
// 0 done (or nothing there to delete), 1 refused, declined or rclone failed,
// 2 a target that names no folder or file.
int makeRemoteFolder(RemoteFolderEdit& edit, const std::string& target);
int deleteRemoteItem(RemoteFolderEdit& edit, const std::string& target);

}  // namespace brimvale::app
