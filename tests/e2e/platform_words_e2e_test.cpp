// Every command that prints text, run on this Linux build in a temporary home
// whose drive is configured outside /Volumes: nothing it says may name the
// Mac, its service manager, its file manager or snapshot tool, an old product
// name, or a /Volumes path the program made up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "background_app.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

enum class Program { kService, kApp };

struct CommandRun {
  Program program;
  std::vector<std::string> args;
};

bool isLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// "Mac" only as a word of its own, so "Machine" or "machine" never count.
bool mentionsMacAsWord(std::string_view text) {
  for (std::size_t at = text.find("Mac"); at != std::string_view::npos;
       at = text.find("Mac", at + 1)) {
    const bool before = at > 0 && isLetter(text[at - 1]);
    const bool after = at + 3 < text.size() && isLetter(text[at + 3]);
    if (!before && !after) return true;
  }
  return false;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The foreign words found in `text`, each once.
std::vector<std::string> foreignWords(std::string_view text) {
  std::vector<std::string> found;
  if (mentionsMacAsWord(text)) found.emplace_back("Mac");
  for (const char* word : {"macOS", "LaunchAgent", "Finder", "tmutil", "Time Machine", "Volumes",
                           "iCloud", "TCC", "FDA", "launchctl"}) {
    if (text.find(word) != std::string_view::npos) found.emplace_back(word);
  }
  if (lower(text).find("tarnwick") != std::string::npos) found.emplace_back("tarnwick");
  return found;
}

TEST(PlatformWordsE2E, NoCommandSpeaksAnotherPlatform) {
  TempHome home;
  const fs::path drive = home.path() / "drive";
  fs::create_directories(drive);
  home.writeConfig("# Brimvale configuration\nNVMe=\"" + drive.string() +
                   "\"\nRULES=(\"archive_old|$HOME/Downloads|*|30|\")\nAPP_CACHE_PATHS=()\n");
  fs::create_directories(home.path() / "Downloads");
  const fs::path cloudRoot = home.path() / "Library/CloudStorage/Dropbox";
  fs::create_directories(cloudRoot);
  fs::create_symlink(BRIM_VALE_PATH, home.state().parent_path() / "brim-vale");

  const CommandRun runs[] = {
      {Program::kService, {"help"}},
      {Program::kService, {"status"}},
      {Program::kService, {"doctor"}},
      {Program::kService, {"dry-run"}},
      {Program::kService, {"rules-preview"}},
      {Program::kService, {"tcc-check"}},
      {Program::kService, {"optimize-cloud"}},
      {Program::kService, {"optimize-cloud", cloudRoot.string()}},
      {Program::kService, {"nvme-info"}},
      {Program::kService, {"assess", drive.string()}},
      {Program::kService, {"show-in-finder"}},
      {Program::kService, {"transfer-status"}},
      {Program::kService, {"transfer-check", drive.string()}},
      {Program::kService, {"free-space"}},
      {Program::kService, {"no-such-command"}},
      {Program::kApp, {"--help"}},
      {Program::kApp, {"install", "--help"}},
      {Program::kApp, {"status"}},
      {Program::kApp, {"notifications"}},
      {Program::kApp, {"moves"}},
      {Program::kApp, {"parked"}},
      {Program::kApp, {"home"}},
      {Program::kApp, {"care", "--plan"}},
      {Program::kApp, {"snapshots", "list"}},
      {Program::kApp, {"snapshots", "delete", "2024-05-01-093000"}},
      {Program::kApp, {"snapshots"}},
      {Program::kApp, {"settings"}},
  };
  for (const auto& run : runs) {
    std::string name = run.program == Program::kService ? "brim-vale" : "brimvale";
    for (const auto& arg : run.args) name += " " + arg;
    SCOPED_TRACE(name);
    const ProcessResult result =
        run.program == Program::kService ? runBrimVale(home, run.args) : runApp(home, run.args);
    ASSERT_TRUE(result.exitCode >= 0) << result.describe();
    EXPECT_FALSE(result.out.empty() && result.err.empty()) << "says nothing";
    EXPECT_EQ(foreignWords(result.out + result.err), std::vector<std::string>{})
        << result.out << result.err;
    // The snapshot feature says in one sentence that it is unavailable here
    // and never looks for a snapshot tool.
    if (run.args[0] == "snapshots" && run.args.size() > 1) {
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err,
                "Local snapshots aren't available on this computer, so there are none to list, "
                "thin or delete.\nYour files are safe.\n");
    }
  }
}

}  // namespace
}  // namespace brimvale::e2e
