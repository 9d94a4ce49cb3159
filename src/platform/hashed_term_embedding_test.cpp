#include <gtest/gtest.h>

#include <cmath>

#include "platform/sentence_embedding.h"

namespace brimvale::platform {
namespace {

float cosine(const std::vector<float>& a, const std::vector<float>& b) {
  float dot = 0;
  for (std::size_t i = 0; i < a.size(); ++i) dot += a[i] * b[i];
  return dot;  // both have length one
}

TEST(HashedTermEmbedding, SimilarWordingScoresHigherThanOtherWording) {
  auto embedding = makeHashedTermEmbedding(512);
  const auto base = embedding->embed("Meeting notes for the budget review");
  ASSERT_EQ(base.size(), 512u);
  float length = 0;
  for (float x : base) length += x * x;
  EXPECT_NEAR(std::sqrt(length), 1.0f, 1e-5);
  // Case and punctuation do not matter; a shared word stem counts.
  EXPECT_NEAR(cosine(base, embedding->embed("meeting NOTES, for the budget-review!")), 1.0f, 1e-5);
  EXPECT_GT(cosine(base, embedding->embed("budgets reviewed")),
            cosine(base, embedding->embed("holiday photos from the lake")));
  for (float x : embedding->embed("  ...  ")) EXPECT_EQ(x, 0.0f);
}

}  // namespace
}  // namespace brimvale::platform
