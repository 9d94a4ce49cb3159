// The application's clean-ups in the fault matrix: the one-tap clean-up,
// which runs the service's reclaim and free-space steps, a rule run from a
// saved preview, and clearing the scrap board.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// An old item in the Trash at `home`, with its record, as the file manager leaves it.
fs::path trashedLongAgo(const fs::path& home, const std::string& name) {
  const fs::path trash = home / ".local/share/Trash";
  const fs::path item = trash / "files" / name;
  fs::create_directories(trash / "info");
  writeUserTree(item, 4);
  ageTree(item, 60);
  std::ofstream(trash / "info" / (name + ".trashinfo"))
      << "[Trash Info]\nPath=" << (home / name).string() << "\nDeletionDate=2020-01-01T10:00:00\n";
  return item;
}

// ~/Old aged past the archive rule, a chat app's cache and an old Trash item:
// every step of the clean-up has work.
Row careRow() {
  Row row;
  row.name = "brimvale care";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Old";
    writeUserTree(s.target);
    ageTree(s.target, 40);
    const fs::path cache = s.world.home() / "App Support" / "Chat" / "Cache";
    writeUserTree(cache, 5);
    ageTree(cache, 2);
    addConfig(s.world,
              "RULES=(\n  \"archive_old | $HOME/Old | Old-Archive | 30 | \"\n)\n"
              "APP_CACHE_PATHS=(\"$HOME/App Support/Chat\")\nAPP_CACHE_SAFE_DIRS=(\"Cache\")\n");
    for (const auto& e : fs::directory_iterator(cache)) s.deletes.push_back(e.path());
    s.deletes.push_back(trashedLongAgo(s.world.home().path(), "Old letters"));
    s.deletes.push_back(s.world.home() / ".local/share/Trash/info/Old letters.trashinfo");
    s.command = {.args = {"care", "--yes"}};
    return true;
  };
  row.moments = {"reclaim:deleting", "archive:copied", "archive:removed", "rules:deleting"};
  row.claimHolds = actionsHold;
  return row;
}

// ~/Old for an archive rule and ~/Stale for a delete rule, both aged past
// them, and a saved preview of the run with one item of each taken out: the
// run may take only what is left in it.
Row rulesFromPreviewRow() {
  Row row;
  row.name = "brimvale rules run --from-preview FILE";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Old";
    writeUserTree(s.target);
    ageTree(s.target, 40);
    const fs::path stale = s.world.home() / "Stale";
    writeUserTree(stale, 4);
    ageTree(stale, 40);
    addConfig(s.world,
              "RULES=(\n  \"archive_old | $HOME/Old | Old-Archive | 30 | \"\n"
              "  \"delete_old | $HOME/Stale | | 30 | \"\n)\n");
    const ProcessResult listed = s.world.run({.args = {"rules", "--preview", "--json"}});
    auto preview = nlohmann::json::parse(listed.out, nullptr, false);
    auto& items = preview.is_object() ? preview["items"] : preview;
    if (!items.is_array() || items.size() <= 2) {
      std::cerr << "setup `brimvale rules --preview --json`: " << listed.describe() << "\n"
                << listed.out << listed.err;
      return false;
    }
    for (const std::string action : {"move", "delete"}) {
      const auto first = std::ranges::find_if(
          items, [&](const nlohmann::json& item) { return item.value("action", "") == action; });
      if (first != items.end()) items.erase(first);
    }
    for (const auto& item : items) {
      if (item.value("action", "") == "delete") s.deletes.emplace_back(item.value("path", ""));
    }
    const fs::path file = s.world.home() / "rules preview.json";
    std::ofstream(file) << preview.dump();
    s.command = {.args = {"rules", "run", "--from-preview", file.string(), "--yes"}};
    return true;
  };
  row.moments = {"archive:copied", "archive:removed", "rules:deleting"};
  row.claimHolds = actionsHold;
  row.successText = "The rules ";
  return row;
}

// Three scraps, one of them naming a file of the user's: clearing the board
// removes the scraps, never the file.
Row junkClearRow() {
  Row row;
  row.name = "brimvale junk clear";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Documents";
    writeUserTree(s.target, 4);
    const fs::path report = s.target / "report.txt";
    std::ofstream(report) << "the report a scrap points at\n";
    const fs::path state = s.world.home().state();
    fs::create_directories(state);
    std::ofstream board(state / "junk-items.ndjson");
    auto scrap = [](const std::string& id) {
      return nlohmann::json{{"id", id},
                            {"kind", "text"},
                            {"source", "manual"},
                            {"createdAt", "2030-01-01T10:00:00Z"},
                            {"ttlSeconds", 86400},
                            {"expiresAt", "2030-01-02T10:00:00Z"}};
    };
    auto note = scrap("11111111-1111-4111-8111-111111111111");
    note["plainText"] = "a note";
    auto pinned = scrap("22222222-2222-4222-8222-222222222222");
    pinned["plainText"] = "a pinned note";
    pinned["pinned"] = true;
    auto file = scrap("33333333-3333-4333-8333-333333333333");
    file["kind"] = "fileRef";
    file["fileRefPath"] = report.string();
    file["fileRefName"] = "report.txt";
    for (const auto& line : {note, pinned, file}) board << line.dump() << "\n";
    s.command = {.args = {"junk", "clear", "--yes"}};
    return true;
  };
  row.moments = {"junk:clearing", "junk:cleared"};
  row.claimHolds = [](Scene& s) -> std::string {
    const ProcessResult r = s.world.run({.args = {"junk", "list", "--json"}});
    const auto board = nlohmann::json::parse(r.out, nullptr, false);
    const auto items = board.is_object() ? board.value("items", nlohmann::json()) : board;
    if (!items.is_array()) return "brimvale junk list printed no list: " + r.out.substr(0, 200);
    if (!items.empty()) return std::to_string(items.size()) + " scraps are still on the board";
    return {};
  };
  row.successText = "Cleared ";
  const std::string board = "the board lives in the state folder; the drive plays no part";
  row.notApplicable = {{Fault::kUnplugged, board}, {Fault::kDriveFull, board}};
  return row;
}

}  // namespace

std::vector<Row> appCleanupRows() { return {careRow(), rulesFromPreviewRow(), junkClearRow()}; }

}  // namespace brimvale::faults
