// Sentence embeddings: a text turned into a vector whose cosine with another
// text's vector says how alike the two are. Search ranks by it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::platform {

class SentenceEmbedding {
 public:
  virtual ~SentenceEmbedding() = default;
  [[nodiscard]] virtual std::size_t dimension() const = 0;
  // A vector of dimension() numbers; all zero for a text with nothing to embed.
  [[nodiscard]] virtual std::vector<float> embed(std::string_view text) const = 0;
  // True when each dimension counts terms, so weighting the rare dimensions
  // up (inverse document frequency) sharpens a ranking; false for a learned
  // model whose dimensions carry no such meaning.
  [[nodiscard]] virtual bool countsTerms() const = 0;
};

// The local stand-in where no sentence model ships (Linux): hashed word and
// character-trigram counts, L2-normalised. It finds similar wording, not
// similar meaning. Words are runs of letters and digits (bytes above 0x7F
// count as letters) with A-Z folded to a-z.
[[nodiscard]] std::unique_ptr<SentenceEmbedding> makeHashedTermEmbedding(
    std::size_t dimension = 512);

}  // namespace brimvale::platform
