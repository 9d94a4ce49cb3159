// The folder mover's commands in the fault matrix.
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// Every file of the relocated folder at `home` is a link to a file in `working`.
std::string everyFileLinkedInto(const fs::path& home, const fs::path& working) {
  std::error_code ec;
  if (!fs::is_directory(home, ec)) return home.string() + " is no longer a folder";
  for (fs::recursive_directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
    if (!it->is_symlink(ec)) return it->path().string() + " was left as a real file";
    const fs::path target = fs::read_symlink(it->path(), ec);
    if (!isBelow(target, working) || !fs::exists(target, ec))
      return it->path().string() + " links to " + target.string();
  }
  return {};
}

// `brimvale moves --json` lists a finished move of `src`.
std::string recordedAsDone(Scene& s, const fs::path& src) {
  const ProcessResult r = s.world.run({.args = {"moves", "--json"}});
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  if (j.is_object() && j.contains("moves")) j = j["moves"];
  if (j.is_array()) {
    for (const auto& m : j) {
      if (m.value("src", "") == src.string() && m.value("phase", "") == "done") return {};
    }
  }
  return "brimvale moves shows no finished move of " + src.string();
}

Row moveRow(bool links) {
  Row row;
  row.name = links ? "brimvale move" : "brimvale move --no-links";
  row.prepare = [links](Scene& s) {
    s.target = s.world.home() / "Projects";
    writeUserTree(s.target);
    s.command = {.args = {"move", s.target.string(), "--yes"}};
    if (!links) s.command.args.push_back("--no-links");
    return true;
  };
  row.moments = {"mover:claimed", "mover:copied", "mover:verified", "mover:relinked"};
  if (!links) row.moments = {"mover:claimed", "mover:copied", "mover:verified", "mover:removed"};
  row.claimHolds = [links](Scene& s) -> std::string {
    const fs::path copy = s.world.working() / "Relocated" / "Projects";
    if (std::string wrong = recordedAsDone(s, s.target); !wrong.empty()) return wrong;
    if (links) return everyFileLinkedInto(s.target, s.world.working());
    std::error_code ec;
    if (fs::exists(fs::symlink_status(s.target, ec))) return s.target.string() + " is still there";
    if (!fs::is_directory(copy, ec)) return "no copy at " + copy.string();
    return {};
  };
  row.successText = links ? "Relocated " : "Moved ";
  return row;
}

}  // namespace

std::vector<Row> moverRows() { return {moveRow(true), moveRow(false)}; }

}  // namespace brimvale::faults
