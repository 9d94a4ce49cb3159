// Turns image bytes as a clipboard offers them (PNG, JPEG, BMP, GIF ...) into
// the board's media: the image as PNG and a thumbnail that is never enlarged.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale::junk {

// The thumbnail's longer side at most, in pixels: a card's picture.
inline constexpr int kJunkThumbMaxSide = 320;
// Larger images are refused rather than decoded into gigabytes of memory.
inline constexpr long long kJunkMaxImagePixels = 100'000'000;

// An image as the board keeps it, with its pixels for the thumbnail.
struct JunkDecodedImage {
  std::vector<std::uint8_t> png;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  // 8-bit RGBA, rows top to bottom
};

struct JunkThumbnail {
  std::vector<std::uint8_t> png;
  int width = 0;
  int height = 0;
};

// Decodes `bytes` in full, so damaged data is refused here. PNG bytes are
// kept exactly as given; other formats are encoded as PNG. Errc::kParse for
// bytes that are no image this build reads, for a damaged PNG, and for images
// above kJunkMaxImagePixels.
[[nodiscard]] Result<JunkDecodedImage> decodeJunkImage(const std::vector<std::uint8_t>& bytes);

// The image scaled by min(1, maxSide / longer side), each side at least 1
// pixel, as PNG; the image's own PNG when it is not larger than that.
[[nodiscard]] Result<JunkThumbnail> makeJunkThumbnail(const JunkDecodedImage& image,
                                                      int maxSide = kJunkThumbMaxSide);

// Width and height from the header of an image this build reads (PNG, JPEG,
// BMP, GIF ...); nothing for other bytes. Nothing is decoded.
[[nodiscard]] std::optional<std::pair<int, int>> junkImageSize(
    const std::vector<std::uint8_t>& bytes);

// Encodes 8-bit RGBA pixels (rows top to bottom, no padding) as PNG.
[[nodiscard]] Result<std::vector<std::uint8_t>> encodeRgbaPng(const std::uint8_t* pixels, int width,
                                                              int height);

}  // namespace brimvale::junk
