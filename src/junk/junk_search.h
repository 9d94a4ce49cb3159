// Search over the board: scraps whose text holds the query come first, then
// the rest by how alike their vectors are. The vectors are kept in the search
// index file and rebuilt only for scraps whose text changed.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "junk/junk_item.h"
#include "platform/sentence_embedding.h"

namespace brimvale::junk {

// Results below this similarity are hidden unless they match by keyword.
inline constexpr float kJunkMinSimilarity = 0.1f;

struct JunkSearchHit {
  std::string id;
  float score = 0;       // cosine similarity, 0..1
  bool keyword = false;  // the scrap's text holds the query
};

// The text a scrap is searched by: its plain text, its link, its file names
// ("image" for a picture, so the word finds it).
[[nodiscard]] std::string junkSearchText(const JunkItem& item);

// Cosine similarity in single precision; a zero vector (or vectors of
// different sizes) scores 0.
[[nodiscard]] float junkCosine(const std::vector<float>& a, const std::vector<float>& b);

// One row of state/junk-search-index.json.
struct JunkIndexRow {
  std::string id;
  std::vector<float> v;
  std::string t;
};

// Thread-safe: one mutex serialises the index work.
class JunkSearchEngine {
 public:
  JunkSearchEngine(std::filesystem::path indexFile, const platform::SentenceEmbedding& embedding);

  // Reads the index; a missing or unreadable file is an empty index (it is
  // rebuilt from the board at the next search).
  void load();
  // Rebuilds the rows of scraps whose text changed or that have none, drops
  // the rows of scraps no longer on the board, and saves the index when
  // anything changed. True when something changed.
  [[nodiscard]] Result<bool> refresh(const std::vector<JunkItem>& items);

  // Ranks `items` (refreshed first) against `query`: keyword matches first,
  // then the rest scoring at least kJunkMinSimilarity; each group by falling
  // score, board order breaking ties. An empty query or board gives nothing.
  // With a term-counting embedding, dimensions are weighted by their inverse
  // document frequency over the index at search time, so stored vectors never
  // go stale as the board changes.
  [[nodiscard]] std::vector<JunkSearchHit> search(std::string_view query,
                                                  const std::vector<JunkItem>& items);

  [[nodiscard]] std::vector<JunkIndexRow> rows() const;

 private:
  [[nodiscard]] Result<bool> refreshLocked(const std::vector<JunkItem>& items);

  std::filesystem::path file_;
  const platform::SentenceEmbedding& embedding_;
  mutable std::mutex mutex_;
  std::vector<JunkIndexRow> rows_;
};

}  // namespace brimvale::junk
