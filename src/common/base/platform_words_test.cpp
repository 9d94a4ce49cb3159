#include "common/base/platform_words.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace brimvale {
namespace {

std::set<std::string> entries(std::string_view list) {
  std::set<std::string> out;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    out.emplace(list.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

TEST(PlatformWords, TheLinuxBuildSpeaksLinux) {
  EXPECT_EQ(&kHostWords, &kLinuxWords);
  EXPECT_FALSE(kHostWords.hasLocalSnapshots);
}

// A file system in two lists would be judged by whichever is read first;
// each table's lists must be disjoint, and a name's case must not matter
// to that question since warn and block lists ignore it.
TEST(PlatformWords, FilesystemListsNeverOverlap) {
  for (const PlatformWords* words : {&kMacWords, &kLinuxWords}) {
    SCOPED_TRACE(words->system);
    std::set<std::string> seen;
    for (std::string_view list :
         {words->allowedFilesystems, words->warnFilesystems, words->blockFilesystems}) {
      for (std::string entry : entries(list)) {
        for (char& c : entry) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(seen.insert(entry).second) << entry << " is in two lists";
      }
    }
  }
}

}  // namespace
}  // namespace brimvale
