#include "junk/junk_image.h"

#include <gtest/gtest.h>

namespace brimvale::junk {
namespace {

// Width and height from a PNG's header chunk.
std::pair<int, int> pngSize(const std::vector<std::uint8_t>& png) {
  auto be32 = [&](std::size_t at) {
    return (png.at(at) << 24) | (png.at(at + 1) << 16) | (png.at(at + 2) << 8) | png.at(at + 3);
  };
  return {be32(16), be32(20)};
}

std::vector<std::uint8_t> pngOf(int w, int h) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4, 0x80);
  return *encodeRgbaPng(pixels.data(), w, h);
}

TEST(JunkImage, ThumbnailIsScaledDownButNeverEnlarged) {
  struct Case {
    int w, h;
    std::pair<int, int> thumb;
  };
  const Case cases[] = {
      {1280, 640, {320, 160}}, {100, 1000, {32, 320}}, {320, 200, {320, 200}},
      {40, 30, {40, 30}},      {5000, 1, {320, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    auto images = makeJunkImages(pngOf(c.w, c.h));
    ASSERT_TRUE(images) << images.error().message();
    EXPECT_EQ(pngSize(images->png), std::make_pair(c.w, c.h));
    EXPECT_EQ(pngSize(images->thumbPng), c.thumb);
  }
}

TEST(JunkImage, BytesThatAreNoImageAreRefused) {
  const auto whole = pngOf(4, 4);
  const std::vector<std::vector<std::uint8_t>> inputs = {
      {}, {'h', 'e', 'l', 'l', 'o'}, {whole.begin(), whole.begin() + 30}};
  for (const auto& bytes : inputs) {
    SCOPED_TRACE(bytes.size());
    auto images = makeJunkImages(bytes);
    ASSERT_FALSE(images);
    EXPECT_EQ(images.error().code, Errc::kParse);
  }
}

}  // namespace
}  // namespace brimvale::junk
