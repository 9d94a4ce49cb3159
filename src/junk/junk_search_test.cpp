#include "junk/junk_search.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::junk {
namespace {

class JunkSearchTest : public ::testing::Test {
 protected:
  JunkItem text(std::string id, std::string body) {
    JunkItem i;
    i.id = std::move(id);
    i.plainText = std::move(body);
    return i;
  }

  testing::TempFolder dir_{"junk-search"};
  std::unique_ptr<platform::SentenceEmbedding> embedding_ = platform::makeHashedTermEmbedding();
  JunkSearchEngine engine_{dir_ / "junk-search-index.json", *embedding_};
};

TEST_F(JunkSearchTest, KeywordMatchesComeFirstThenSimilarWording) {
  JunkItem files;
  files.id = "files";
  files.kind = JunkKind::kFileGroup;
  files.files = std::vector<JunkFile>{{"/x/invoice-march.pdf", "invoice-march.pdf"}};
  const std::vector<JunkItem> board{
      text("similar", "the invoicing from our supplier"),
      text("unrelated", "holiday photos at the lake"),
      text("keyword", "Invoice 1042 is paid"),
      files,
      text("also", "reminder: pay invoice"),
  };
  struct Case {
    std::string_view query;
    std::vector<std::string> keyword;  // in any order, but all before the rest
    std::vector<std::string> rest;     // by falling similarity
  };
  const Case cases[] = {
      {"  INVOICE ", {"also", "files", "keyword"}, {"similar"}},
      {"lake", {"unrelated"}, {}},
      {"", {}, {}},
      {"zzzz qqqq", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    const auto hits = engine_.search(c.query, board);
    std::vector<std::string> keyword, rest;
    for (const auto& h : hits) {
      if (h.keyword) {
        EXPECT_TRUE(rest.empty()) << h.id << " matched by keyword after a similar one";
        keyword.push_back(h.id);
      } else {
        rest.push_back(h.id);
      }
    }
    std::sort(keyword.begin(), keyword.end());
    EXPECT_EQ(keyword, c.keyword);
    EXPECT_EQ(rest, c.rest);
  }
  EXPECT_TRUE(engine_.search("invoice", {}).empty()) << "an empty board finds nothing";
}

}  // namespace
}  // namespace brimvale::junk
