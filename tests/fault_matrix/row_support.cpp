#include "row_support.h"

#include <algorithm>
#include <charconv>
#include <fstream>

#include "common/base/file_io.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

void writeUserTree(const fs::path& root, int files) {
  for (int i = 0; i < files; ++i) {
    const fs::path p = root / ("folder " + std::to_string(i % 3)) /
                       (i % 4 == 0 ? "notes é " + std::to_string(i) + ".txt"
                                   : "file-" + std::to_string(i) + ".dat");
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    for (int line = 0; line < 40 + i; ++line)
      out << "file " << i << " line " << line << " of " << root.filename().string() << "\n";
  }
  std::ofstream(root / "doc.txt") << "the document " << root.filename().string() << "\n";
  std::ofstream(root / "log.txt") << "the log of " << root.filename().string() << "\n";
}

bool isBelow(const fs::path& path, const fs::path& folder) {
  const std::string p = path.lexically_normal().string();
  const std::string f = folder.lexically_normal().string();
  return p.size() > f.size() + 1 && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/';
}

void ageTree(const fs::path& root, int days) {
  const auto then = fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_symlink(ec)) fs::last_write_time(it->path(), then, ec);
  }
  fs::last_write_time(root, then, ec);
}

void addConfig(const FaultWorld& world, const std::string& lines) {
  std::ofstream(world.home().paths().config, std::ios::app) << lines;
}

nlohmann::json moves(Scene& s) {
  const ProcessResult r = s.world.run({.args = {"moves", "--json"}});
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  if (j.is_object() && j.contains("moves")) j = j["moves"];
  return j.is_array() ? j : nlohmann::json::array();
}

std::string setClock(Scene& s, std::time_t now) {
  const fs::path clock = s.world.scratch() / "clock";
  (void)writeFileAtomically(clock, std::to_string(now));
  return "--clock-file=" + clock.string();
}

Invocation unattendedRun(Scene& s) {
  const fs::path clock = s.world.scratch() / "clock";
  if (!fs::exists(clock)) setClock(s, std::time(nullptr));
  // The service programs it installs: the real service behind a small
  // script, quicker to copy than the program itself.
  const fs::path scripts = s.world.scratch() / "Scripts";
  fs::create_directories(scripts);
  (void)writeFileAtomically(scripts / "brim-vale", "#!/bin/sh\nexec '" BRIM_VALE_PATH "' \"$@\"\n",
                            {.mode = 0700});
  return {.args = {"--clock-file=" + clock.string(), "--quit-when-idle", "--scripts",
                   scripts.string(), "run"},
          .env = {{"TZ", "UTC"}}};
}

std::string actionsHold(Scene& s) {
  const ProcessResult r = s.world.run({.program = Program::kService, .args = {"actions", "10000"}});
  const auto rows = nlohmann::json::parse(r.out, nullptr, false);
  if (!rows.is_array()) return "brim-vale actions printed no list: " + r.out.substr(0, 200);
  std::error_code ec;
  for (const auto& row : rows) {
    const std::string action = row.value("action", "");
    const fs::path src = row.value("src", ""), dest = row.value("dest", "");
    if (action == "move" &&
        (!isBelow(dest, s.world.working()) || !fs::exists(fs::symlink_status(dest, ec)))) {
      return "the log says " + src.string() + " was moved to " + dest.string() +
             ", which is not there";
    }
    if ((action == "delete" || action == "delete-cache" || action.starts_with("reclaim-")) &&
        fs::exists(fs::symlink_status(src, ec))) {
      return "the log says " + src.string() + " was deleted, but it is there";
    }
    if (action == "trash" &&
        (fs::exists(fs::symlink_status(src, ec)) || !fs::exists(fs::symlink_status(dest, ec)))) {
      return "the log says " + src.string() + " went to the Trash as " + dest.string() +
             ", but it is not so";
    }
  }
  return {};
}

namespace {

// A record's Path= value as the path it names (%XX decoded).
std::string decodedTrashPath(const std::string& encoded) {
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    unsigned byte = 0;
    if (encoded[i] == '%' && i + 2 < encoded.size() &&
        std::from_chars(&encoded[i + 1], &encoded[i + 3], byte, 16).ptr == &encoded[i + 3]) {
      out += static_cast<char>(byte);
      i += 2;
    } else {
      out += encoded[i];
    }
  }
  return out;
}

std::uintmax_t bytesBelow(const fs::path& item) {
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(item, ec))) return fs::file_size(item, ec);
  std::uintmax_t total = 0;
  for (fs::recursive_directory_iterator it(item, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) total += it->file_size(ec);
  }
  return total;
}

}  // namespace

std::pair<std::uintmax_t, std::vector<std::string>> trashWithoutWayBack(Scene& s) {
  const fs::path home = s.world.home().path();
  const fs::path trash = home / ".local/share/Trash";
  std::pair<std::uintmax_t, std::vector<std::string>> stranded;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(trash / "files", ec)) {
    const std::string name = e.path().filename().string();
    const std::string record = readFile(trash / "info" / (name + ".trashinfo")).value_or("");
    const auto at = record.find("\nPath=");
    const std::string from =
        at == std::string::npos
            ? ""
            : decodedTrashPath(record.substr(at + 6, record.find('\n', at + 6) - at - 6));
    if (record.starts_with("[Trash Info]\n") && isBelow(from, home) &&
        record.find("\nDeletionDate=") != std::string::npos) {
      continue;
    }
    stranded.first += std::max<std::uintmax_t>(bytesBelow(e.path()), 1);
    stranded.second.push_back(e.path().string() + " (in the Trash with no way back)");
  }
  return stranded;
}

}  // namespace brimvale::faults
