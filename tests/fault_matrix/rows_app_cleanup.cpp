// The application's clean-ups in the fault matrix: the one-tap clean-up,
// which runs the service's reclaim and free-space steps, a rule run from a
// saved preview, and clearing the scrap board.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
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

// Old dev caches, thumbnails and an old Trash item, previewed and saved
// before the fault; then a yarn cache that came due after the preview, which
// a run from it must leave alone.
Row careFromPreviewRow() {
  Row row;
  row.name = "brimvale care --from-preview";
  row.prepare = [](Scene& s) {
    const fs::path home = s.world.home().path();
    s.target = home / ".cache/pip";
    writeUserTree(s.target, 5);
    ageTree(s.target, 40);
    writeUserTree(home / ".cache/thumbnails/large", 3);
    ageTree(home / ".cache/thumbnails", 40);
    trashedLongAgo(home, "Old letters");
    const ProcessResult shown = s.world.run({.args = {"care", "--preview", "--json"}});
    const auto preview = nlohmann::json::parse(shown.out, nullptr, false);
    if (!shown.succeeded() || !preview.is_object() ||
        preview.value("items", nlohmann::json()).size() < 3) {
      std::cerr << "setup `brimvale care --preview --json` found too little: " << shown.describe()
                << "\n"
                << shown.out << shown.err;
      return false;
    }
    const fs::path saved = s.world.scratch() / "saved preview.json";
    std::ofstream(saved) << shown.out;
    s.notes["preview"] = saved.string();
    for (const auto& item : preview["items"]) {
      const fs::path path = item.value("path", "");
      s.deletes.push_back(path);
      if (item.value("category", "") == "trash")
        s.deletes.push_back(path.parent_path().parent_path() / "info" /
                            (path.filename().string() + ".trashinfo"));
    }
    writeUserTree(home / ".cache/yarn/v6", 3);
    ageTree(home / ".cache/yarn", 40);
    s.command = {.args = {"care", "--from-preview", saved.string(), "--yes"}};
    return true;
  };
  row.moments = {"reclaim:deleting", "reclaim:deleted"};
  // Every previewed item still there is named, and no more are said to be
  // deleted than the service's log records deleting.
  row.claimHolds = [](Scene& s) -> std::string {
    if (std::string wrong = actionsHold(s); !wrong.empty()) return wrong;
    const ProcessResult log =
        s.world.run({.program = Program::kService, .args = {"actions", "10000"}});
    std::set<std::string> deleted;
    for (const auto& action : nlohmann::json::parse(log.out, nullptr, false)) {
      if (action.is_object() && action.value("action", "").starts_with("reclaim-"))
        deleted.insert(action.value("src", ""));
    }
    const auto preview =
        nlohmann::json::parse(readFile(s.notes["preview"]).value_or(""), nullptr, false);
    long recorded = 0;
    for (const auto& item : preview["items"]) {
      const std::string path = item.value("path", "");
      std::error_code ec;
      recorded += deleted.contains(path) ? 1 : 0;
      if (fs::exists(fs::symlink_status(path, ec)) && s.judgedOut.find(path) == std::string::npos)
        return path + " is still there and the run did not say so";
    }
    std::smatch said;
    if (std::regex_search(s.judgedOut, said, std::regex("deleted (\\d+) items? of the preview")) &&
        std::stol(said[1]) > recorded) {
      return "it says " + said[1].str() + " items were deleted, but the log records " +
             std::to_string(recorded);
    }
    return {};
  };
  row.successText = "Zozad Evev deleted ";
  return row;
}

// A note on the board and, in ~/Documents, an older file of the name the
// note is saved under; --replace puts the note in its place. The writer
// edits the files named before and after it, never it: what --replace
// replaces is the user's to lose.
Row junkSaveRow() {
  Row row;
  row.name = "brimvale junk save --replace";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Documents";
    writeUserTree(s.target, 4);
    const std::string text = "invoice 42 for the roof\nwith the second page\n";
    const fs::path older = s.target / "invoice 42 for the roof 44444444.txt";
    std::ofstream(older) << "last year's draft of invoice 42\n";
    fs::last_write_time(older, fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    const fs::path state = s.world.home().state();
    fs::create_directories(state);
    std::ofstream(state / "junk-items.ndjson")
        << nlohmann::json{{"id", "44444444-4444-4444-8444-444444444444"},
                          {"kind", "text"},
                          {"source", "manual"},
                          {"createdAt", "2030-01-01T10:00:00Z"},
                          {"ttlSeconds", 86400},
                          {"expiresAt", "2030-01-02T10:00:00Z"},
                          {"plainText", text}}
               .dump()
        << "\n";
    s.deletes = {older};
    s.notes["saved"] = older.string();
    s.notes["text"] = text;
    s.command = {.args = {"junk", "save", "44444444", s.target.string(), "--replace"}};
    return true;
  };
  row.moments = {"junk:saving", "junk:saved"};
  row.claimHolds = [](Scene& s) -> std::string {
    if (readFile(s.notes["saved"]) != s.notes["text"])
      return s.notes["saved"] + " does not hold the note";
    return {};
  };
  row.successText = "Saved ";
  const std::string home = "the note and the folder are in the home; the drive plays no part";
  row.notApplicable = {{Fault::kUnplugged, home}, {Fault::kDriveFull, home}};
  return row;
}

}  // namespace

std::vector<Row> appCleanupRows() {
  return {careRow(), careFromPreviewRow(), rulesFromPreviewRow(), junkClearRow(), junkSaveRow()};
}

}  // namespace brimvale::faults
