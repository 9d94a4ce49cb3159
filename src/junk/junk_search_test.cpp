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

TEST_F(JunkSearchTest, StaleAndMissingRowsAreRebuiltAndGoneScrapsDropped) {
  // An index left by an earlier run: one row whose text has since changed,
  // one of a scrap no longer on the board, one made by another model.
  nlohmann::json old = nlohmann::json::array({
      {{"id", "edited"}, {"t", "old words"}, {"v", embedding_->embed("old words")}},
      {{"id", "gone"}, {"t", "bye"}, {"v", embedding_->embed("bye")}},
      {{"id", "smallModel"}, {"t", "same text"}, {"v", {0.5, 0.5}}},
  });
  ASSERT_TRUE(writeFileAtomically(dir_ / "junk-search-index.json", old.dump()));
  engine_.load();
  const std::vector<JunkItem> board{text("edited", "new words"), text("smallModel", "same text"),
                                    text("fresh", "never indexed")};
  ASSERT_EQ(engine_.refresh(board), true);
  JunkSearchEngine reread(dir_ / "junk-search-index.json", *embedding_);
  reread.load();
  const auto rows = reread.rows();
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].id);
    EXPECT_EQ(rows[i].id, board[i].id);
    EXPECT_EQ(rows[i].t, *board[i].plainText);
    EXPECT_GT(junkCosine(rows[i].v, embedding_->embed(rows[i].t)), 0.9999f);
  }
  EXPECT_EQ(reread.refresh(board), false) << "nothing changed, nothing rebuilt";
}

TEST(JunkSearchText, NamesWhatACardShows) {
  JunkItem link;
  link.plainText = "www.example.com";
  EXPECT_EQ(junkSearchText(link), "www.example.com\nhttps://www.example.com");
  JunkItem picture;
  picture.kind = JunkKind::kImage;
  EXPECT_EQ(junkSearchText(picture), "image");
  EXPECT_EQ(junkCosine({0, 0}, {1, 0}), 0.0f);
}

}  // namespace
}  // namespace brimvale::junk
