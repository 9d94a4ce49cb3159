#include "junk/junk_image.h"

#include <gtest/gtest.h>
#include <png.h>

#include <string>

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

// An 8-bit gray PNG at libpng's default compression: bytes the board's own
// encoder (RGBA, fastest level) would never produce.
std::vector<std::uint8_t> grayPng(int w, int h) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 251);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(w);
  image.height = static_cast<png_uint_32>(h);
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
  std::vector<std::uint8_t> out(size);
  EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
  out.resize(size);
  return out;
}

TEST(JunkImage, PngIsKeptByteForByteAndOtherFormatsBecomePng) {
  const std::string ppm = std::string("P6\n3 2\n255\n") + std::string(3 * 2 * 3, '\x7f');
  struct Case {
    std::string name;
    std::vector<std::uint8_t> bytes;
    bool kept;
    std::pair<int, int> size;
  };
  const Case cases[] = {
      {"gray png, thumbnail scaled", grayPng(640, 100), true, {640, 100}},
      {"gray png, small", grayPng(30, 20), true, {30, 20}},
      {"ppm", {ppm.begin(), ppm.end()}, false, {3, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = decodeJunkImage(c.bytes);
    ASSERT_TRUE(image) << image.error().message();
    EXPECT_EQ(image->png == c.bytes, c.kept);
    EXPECT_EQ(pngSize(image->png), c.size);
    EXPECT_EQ(std::make_pair(image->width, image->height), c.size);
    auto thumb = makeJunkThumbnail(*image);
    ASSERT_TRUE(thumb) << thumb.error().message();
    // The thumbnail is always a PNG the board can show.
    EXPECT_TRUE(decodeJunkImage(thumb->png));
  }
}

TEST(JunkImage, BytesThatAreNoImageAreRefused) {
  const auto whole = pngOf(4, 4);
  const auto big = grayPng(400, 300);
  auto flipped = big;
  flipped[big.size() / 2] ^= 0x40;  // inside the image data: its CRC no longer matches
  const std::vector<std::vector<std::uint8_t>> inputs = {
      {},
      {'h', 'e', 'l', 'l', 'o'},
      {whole.begin(), whole.begin() + 30},
      {big.begin(), big.begin() + static_cast<std::ptrdiff_t>(big.size() / 2)},
      flipped};
  for (const auto& bytes : inputs) {
    SCOPED_TRACE(bytes.size());
    auto image = decodeJunkImage(bytes);
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().code, Errc::kParse);
  }
}

}  // namespace
}  // namespace brimvale::junk
