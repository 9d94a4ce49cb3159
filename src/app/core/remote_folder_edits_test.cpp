#include "app/core/remote_folder_edits.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;

// Each case starts from a folder "data" holding "file.txt", an empty
// "empty", a "marked" folder holding only the browser's marker, and a "full"
// folder holding one file, reached through a local-type remote "here".
TEST(RemoteFolderEdits, MakeAndDeleteThroughALocalRemote) {
  struct Case {
    std::string what;
    bool make;
    std::string path;  // under data; "" is the remote's top
    bool yes, interactive;
    std::string answer;
    int status;
    std::string gone;    // must no longer exist afterwards; "" for none
    std::string kept;    // must still exist afterwards; "" for none
    std::string said;    // in the output or the error text
    bool fresh = false;  // file.txt written this very moment
  } cases[] = {
      {"make a folder", true, "new/sub", false, false, "", 0, "", "new/sub/.brimvale-keep",
       "Created the folder"},
      {"delete a file", false, "file.txt", true, false, "", 0, "file.txt", "", "Deleted "},
      {"a folder with a file is refused", false, "full", true, false, "", 1, "", "full/keep.txt",
       "holds 1 item; Brimvale deletes only an empty folder."},
      {"no terminal and no --yes", false, "file.txt", false, false, "", 1, "", "file.txt",
       "Run it again with --yes"},
      {"the user says no", false, "empty", false, true, "n\n", 1, "", "empty",
       "Delete the empty folder "},
      {"never the whole remote", false, "", true, false, "", 2, "", "file.txt",
       "never deletes a whole remote"},
      {"a file still being written is left", false, "file.txt", true, false, "", 1, "", "file.txt",
       "may still be being written", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    brimvale::testing::TempFolder temp{"bv-browse-edit"};
    setenv("RCLONE_CONFIG", (temp / "rclone.conf").c_str(), 1);
    setenv("RCLONE_CACHE_DIR", (temp / "cache").c_str(), 1);
    const auto rclone = findExecutable("rclone");
    ASSERT_TRUE(
        runProcess({.path = rclone, .args = {"config", "create", "here", "local"}}).succeeded());
    const fs::path data = temp / "data";
    temp.file("data/file.txt", "x");
    temp.file("data/marked/.brimvale-keep", std::string(cloud::kFolderMarkerContent));
    temp.file("data/full/keep.txt", "keep");
    fs::create_directories(data / "empty");
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
      if (entry.is_regular_file() && (!c.fresh || entry.path().filename() != "file.txt"))
        fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    }

    cloud::RcloneClient client(rclone, runProcess);
    std::ostringstream out, err;
    std::istringstream in(c.answer);
    RemoteFolderEdit edit{.client = client,
                          .out = out,
                          .err = err,
                          .in = &in,
                          .interactive = c.interactive,
                          .yes = c.yes};
    const std::string target = "here:" + (c.path.empty() ? "" : (data / c.path).string());
    EXPECT_EQ(c.make ? makeRemoteFolder(edit, target) : deleteRemoteItem(edit, target), c.status);
    const std::string said = out.str() + err.str();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    if (!c.gone.empty()) {
      EXPECT_FALSE(fs::exists(data / c.gone));
    }
    if (!c.kept.empty()) {
      EXPECT_TRUE(fs::exists(data / c.kept));
    }
    EXPECT_TRUE(fs::exists(data / "full" / "keep.txt")) << "another folder's file is never touched";
  }
}

}  // namespace
}  // namespace brimvale::app
