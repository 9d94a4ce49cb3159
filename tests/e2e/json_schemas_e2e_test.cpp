// Every documented `--json` output, run as the built program in a temporary
// home, printed only keys its section of docs/json-schemas.md lists, and
// carries the schema version.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "background_app.h"
#include "common/base/file_io.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

struct DocSection {
  std::string heading;
  std::vector<std::string> commands;  // the json-run block
  std::map<std::string, bool> keys;   // key path -> must show (no "absent" in its type)
};

std::vector<DocSection> docSections(const std::string& text) {
  std::vector<DocSection> sections;
  std::istringstream lines(text);
  bool inRun = false;
  const std::regex row(R"(^\| (`[^|]*`) \| ([^|]*) \|)");
  const std::regex key("`([^`]+)`");
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("## ")) sections.push_back({.heading = line});
    if (sections.empty()) continue;
    if (line == "```json-run") {
      inRun = true;
    } else if (inRun && line == "```") {
      inRun = false;
    } else if (inRun) {
      sections.back().commands.push_back(line);
    } else if (std::smatch m; std::regex_search(line, m, row)) {
      const std::string cell = m[1];
      const bool shown = m[2].str().find("absent") == std::string::npos;
      for (std::sregex_iterator it(cell.begin(), cell.end(), key), end; it != end; ++it)
        sections.back().keys[(*it)[1]] = shown;
    }
  }
  return sections;
}

// `a.b`, `a[].b`, `[].b`: every key path in `doc`.
void keyPaths(const json& doc, const std::string& prefix, std::set<std::string>& paths) {
  if (doc.is_array()) {
    for (const auto& element : doc) keyPaths(element, prefix + "[]", paths);
  } else if (doc.is_object()) {
    for (const auto& [name, value] : doc.items()) {
      const std::string path = prefix.empty() ? name : prefix + "." + name;
      paths.insert(path);
      keyPaths(value, path, paths);
    }
  }
}

// Listed, or below a listed key whose own keys the table leaves to another
// document (the service's answers, a schedule).
bool documented(const std::string& path, const std::map<std::string, bool>& keys) {
  if (keys.contains(path)) return true;
  for (auto cut = path.rfind('.'); cut != std::string::npos; cut = path.rfind('.', cut - 1)) {
    std::string parent = path.substr(0, cut);
    if (parent.ends_with("[]")) parent.resize(parent.size() - 2);
    if (keys.contains(parent)) {
      const bool childrenListed = std::any_of(keys.begin(), keys.end(), [&](const auto& k) {
        return k.first.starts_with(parent + ".") || k.first.starts_with(parent + "[].");
      });
      return !childrenListed;
    }
    if (cut == 0) break;
  }
  return false;
}

std::vector<std::string> words(const std::string& command, const fs::path& home) {
  std::vector<std::string> args;
  std::istringstream in(std::regex_replace(command, std::regex(R"(\{home\})"), home.string()));
  for (std::string word; in >> std::quoted(word);) args.push_back(word);
  args.erase(args.begin());  // "brimvale"
  return args;
}

// Sections nothing can produce in a throw-away home on this system.
const std::set<std::string> kNotRun = {
    "## `brimvale snapshots --json`",          // no local snapshots off macOS
    "## `brimvale remotes test NAME --json`",  // would reach the remote's server
    "## The dashboard's requests and events",  // answered by `brimvale run`
};

TEST(JsonSchemasE2E, EveryOutputPrintsOnlyItsDocumentedKeysAndTheSchemaVersion) {
  const auto doc = readFile(BRIMVALE_JSON_SCHEMAS_DOC);
  ASSERT_TRUE(doc.has_value());
  TempHome home(brimvale::testing::StateFolder::kCreated);
  home.writeConfig("NVMe=\"" + (home.path() / "drive").string() + "\"\n");
  fs::create_symlink(BRIM_VALE_PATH, home.paths().serviceProgram);
  fs::create_directories(home / "src");
  std::ofstream(home / "src" / "a.txt") << "hi\n";
  fs::create_directories(home / "Sample.app" / "Contents");
  std::ofstream(home / "Sample.app" / "Contents" / "Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
         "<string>Sample</string></dict></plist>";
  std::ofstream(home / "rclone.conf") << "[here]\ntype = local\n";
  // rclone reads and writes only this home's own configuration.
  const Env env = {{"RCLONE_CONFIG", (home / "rclone.conf").string()},
                   {"RCLONE_CACHE_DIR", (home / "rclone-cache").string()}};

  for (const auto& section : docSections(*doc)) {
    SCOPED_TRACE(section.heading);
    if (kNotRun.contains(section.heading)) continue;
    EXPECT_FALSE(section.commands.empty()) << "the section names no command to run";
    std::set<std::string> printed;
    for (const auto& command : section.commands) {
      SCOPED_TRACE(command);
      const ProcessResult r = runApp(home, words(command, home.path()), env);
      if (!command.ends_with("--json")) {
        EXPECT_EQ(r.exitCode, 0) << r.err;
        continue;
      }
      const json output = json::parse(r.out, nullptr, false);
      ASSERT_FALSE(output.is_discarded()) << r.out << r.err;
      if (output.is_array()) {
        for (const auto& record : output) EXPECT_EQ(record.value("schema_version", 0), 1);
      } else {
        EXPECT_EQ(output.value("schema_version", 0), 1);
      }
      std::set<std::string> paths;
      keyPaths(output, "", paths);
      for (const auto& path : paths) {
        EXPECT_TRUE(documented(path, section.keys)) << path << " is printed but not documented";
      }
      printed.insert(paths.begin(), paths.end());
    }
    // A documented top-level key that no output shows was renamed or dropped.
    for (const auto& [key, shown] : section.keys) {
      if (shown && key.find_first_of(".[") == std::string::npos) {
        EXPECT_TRUE(printed.contains(key)) << key << " is documented but never printed";
      }
    }
  }
}

}  // namespace
}  // namespace brimvale::e2e
