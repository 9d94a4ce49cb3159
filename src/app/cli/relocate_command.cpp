#include "app/cli/relocate_command.h"

namespace brimvale::app {

int relocateCommand(const std::vector<std::string>& folders, const MoveOptions& options,
                    const FolderMove& move, std::ostream& out, std::ostream& err) {
  if (folders.empty()) {
    err << "`brimvale relocate` needs at least one folder, for example `brimvale relocate "
           "~/Movies ~/Music`. Nothing was moved.\n";
    return 2;
  }
  int status = 0;
  std::size_t done = 0;
  for (; done < folders.size() && status == 0; ++done) {
    out << "[" << done + 1 << "/" << folders.size() << "] " << folders[done] << "\n";
    MoveOptions one = options;
    one.folder = folders[done];
    status = move(one);
  }
  out << "\nState of each folder:\n";
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::string state =
        i + 1 < done    ? (options.dryRun ? "checked (dry run)" : "relocated")
        : i + 1 == done ? (status == 0 ? (options.dryRun ? "checked (dry run)" : "relocated")
                                       : "stopped here (exit status " + std::to_string(status) +
                                             "); the message above says what happened to it")
                        : std::string("not started; still where it was");
    out << "  " << folders[i] << ": " << state << "\n";
  }
  return status;
}

}  // namespace brimvale::app
