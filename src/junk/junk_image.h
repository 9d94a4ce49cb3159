// Turns image bytes as a clipboard offers them (PNG, JPEG, BMP, GIF ...) into
// the board's media: the image as PNG and a thumbnail that is never enlarged.
#pragma once

#include <cstdint>
#include <vector>

#include "common/base/error.h"

namespace brimvale::junk {

// The thumbnail's longer side at most, in pixels: a card's picture.
inline constexpr int kJunkThumbMaxSide = 320;
// Larger images are refused rather than decoded into gigabytes of memory.
inline constexpr long long kJunkMaxImagePixels = 100'000'000;

struct JunkImagePair {
  std::vector<std::uint8_t> png;
  std::vector<std::uint8_t> thumbPng;
  int width = 0;
  int height = 0;
  int thumbWidth = 0;
  int thumbHeight = 0;
};

// Decodes `bytes` and encodes the image and its thumbnail (scaled by
// min(1, maxSide / longer side), each side at least 1 pixel) as PNG with an
// alpha channel. Errc::kParse for bytes that are no image this build reads,
// and for images above kJunkMaxImagePixels.
[[nodiscard]] Result<JunkImagePair> makeJunkImages(const std::vector<std::uint8_t>& bytes,
                                                   int maxSide = kJunkThumbMaxSide);

// Encodes 8-bit RGBA pixels (rows top to bottom, no padding) as PNG.
[[nodiscard]] Result<std::vector<std::uint8_t>> encodeRgbaPng(const std::uint8_t* pixels, int width,
                                                              int height);

}  // namespace brimvale::junk
