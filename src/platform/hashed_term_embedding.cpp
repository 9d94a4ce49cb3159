#include <cmath>
#include <cstdint>

#include "platform/sentence_embedding.h"

namespace brimvale::platform {
namespace {

// A trigram says less than a whole word; words weigh twice as much.
constexpr float kWordWeight = 2.0f;
constexpr float kTrigramWeight = 1.0f;

std::uint64_t fnv1a(std::string_view text, std::uint64_t seed) {
  std::uint64_t hash = 14695981039346656037ull ^ seed;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

bool wordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80;
}

class HashedTermEmbedding final : public SentenceEmbedding {
 public:
  explicit HashedTermEmbedding(std::size_t dimension) : dimension_(dimension ? dimension : 1) {}

  std::size_t dimension() const override { return dimension_; }
  bool countsTerms() const override { return true; }

  std::vector<float> embed(std::string_view text) const override {
    std::vector<float> v(dimension_, 0.0f);
    std::string word;
    const auto flush = [&] {
      if (word.empty()) return;
      v[fnv1a(word, 1) % dimension_] += kWordWeight;
      const std::string padded = " " + word + " ";
      for (std::size_t i = 0; i + 3 <= padded.size(); ++i) {
        v[fnv1a(std::string_view(padded).substr(i, 3), 2) % dimension_] += kTrigramWeight;
      }
      word.clear();
    };
    for (unsigned char c : text) {
      if (!wordByte(c)) {
        flush();
        continue;
      }
      word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    }
    flush();
    double norm = 0;
    for (float x : v) norm += static_cast<double>(x) * x;
    if (norm > 0) {
      const float scale = static_cast<float>(1.0 / std::sqrt(norm));
      for (float& x : v) x *= scale;
    }
    return v;
  }

 private:
  std::size_t dimension_;
};

}  // namespace

std::unique_ptr<SentenceEmbedding> makeHashedTermEmbedding(std::size_t dimension) {
  return std::make_unique<HashedTermEmbedding>(dimension);
}

}  // namespace brimvale::platform
