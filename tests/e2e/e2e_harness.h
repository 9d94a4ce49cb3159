// What every end-to-end scenario needs: a throw-away home folder, a real
// tmpfs "drive" mounted under /Volumes (both from testing/), and the real
// programs run in it, with views of trees to compare before and after.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/process.h"
#include "testing/base/temp_home.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/base/tree_view.h"

namespace brimvale::e2e {

using brimvale::testing::mountsRequired;
using brimvale::testing::TempHome;
using brimvale::testing::TmpfsDrive;
using brimvale::testing::TmpfsMount;
// Views of trees, to count what a scenario lost.
using brimvale::testing::Folders;
using brimvale::testing::lostEntries;
using brimvale::testing::TreeSums;
using brimvale::testing::treeSums;
using brimvale::testing::TreeView;
using brimvale::testing::userView;
using brimvale::testing::writeAwkwardTree;

// Runs the built brim-vale with HOME set to `home`.
[[nodiscard]] ProcessResult runBrimVale(const TempHome& home, const std::vector<std::string>& args,
                                        std::vector<std::pair<std::string, std::string>> env = {});

// A Scripts folder (under `home`) whose brim-vale forwards to the built one,
// except `watch`, which writes the status every second until terminated (or,
// when `stopsOnTerm` is false, ignores SIGTERM as a stuck service does).
[[nodiscard]] std::filesystem::path makeStatusWritingScripts(const TempHome& home,
                                                             bool stopsOnTerm = true);

// Processes whose command line holds `word` (any, when empty) and whose HOME is `home`.
[[nodiscard]] std::vector<pid_t> processesOf(const std::string& word,
                                             const std::filesystem::path& home);

// The working folder name this machine derives (BRIM-...).
[[nodiscard]] std::string thisWorkingFolderName();

}  // namespace brimvale::e2e
