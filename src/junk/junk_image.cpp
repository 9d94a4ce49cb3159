#include "junk/junk_image.h"

#include <png.h>
#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace brimvale::junk {
namespace {

void appendToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void noFlush(png_structp) {}

}  // namespace

Result<std::vector<std::uint8_t>> encodeRgbaPng(const std::uint8_t* pixels, int width, int height) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return fail(Errc::kIo, "libpng could not start a PNG writer");
  png_infop info = png_create_info_struct(png);
  std::vector<std::uint8_t> out;
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  // libpng reports errors by longjmp; nothing with a destructor is created
  // between here and the end of the writing.
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return fail(Errc::kIo, "libpng could not encode the image");
  }
  png_set_write_fn(png, &out, appendToVector, noFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  for (int y = 0; y < height; ++y) {
    rows[static_cast<std::size_t>(y)] =
        const_cast<png_bytep>(pixels + static_cast<std::size_t>(y) * width * 4);
  }
  png_set_rows(png, info, rows.data());
  // Captures are saved while the user works: the fastest zlib level with
  // one filter costs a few per cent in size and saves most of the time.
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

namespace {

bool isPng(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0;
}

Result<void> checkPixelCount(long long w, long long h) {
  if (w <= 0 || h <= 0 || w * h > kJunkMaxImagePixels) {
    return fail(Errc::kParse, "the image is " + std::to_string(w) + "x" + std::to_string(h) +
                                  " pixels, more than the board keeps");
  }
  return {};
}

// A PNG offer is kept byte for byte: re-encoding it cost a capture more
// than anything else and would only lose what the owner put in it. It is
// still decoded in full (libpng checks every chunk's CRC and the compressed
// data), so a cut or damaged file is refused rather than kept.
Result<JunkDecodedImage> decodePng(const std::vector<std::uint8_t>& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  // Reads the chunks before the image data only: the size is known before
  // any pixel is decoded.
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    return fail(Errc::kParse, std::string("not a PNG this build can read: ") + image.message);
  }
  const std::unique_ptr<png_image, void (*)(png_image*)> done(&image, png_image_free);
  if (auto fits = checkPixelCount(image.width, image.height); !fits) {
    return std::unexpected(fits.error());
  }
  image.format = PNG_FORMAT_RGBA;
  JunkDecodedImage out;
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
    return fail(Errc::kParse, std::string("the image could not be decoded: ") + image.message);
  }
  out.png = bytes;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  return out;
}

}  // namespace

std::optional<std::pair<int, int>> junkImageSize(const std::vector<std::uint8_t>& bytes) {
  int w = 0, h = 0, channels = 0;
  const auto size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  if (bytes.empty() || !stbi_info_from_memory(bytes.data(), size, &w, &h, &channels))
    return std::nullopt;
  return std::pair{w, h};
}

Result<JunkDecodedImage> decodeJunkImage(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return fail(Errc::kParse, "the image is empty");
  if (isPng(bytes)) return decodePng(bytes);
  const auto size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  int w = 0, h = 0, channels = 0;
  if (!stbi_info_from_memory(bytes.data(), size, &w, &h, &channels)) {
    return fail(Errc::kParse,
                std::string("not an image this build can read: ") + stbi_failure_reason());
  }
  if (auto fits = checkPixelCount(w, h); !fits) return std::unexpected(fits.error());
  std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
      stbi_load_from_memory(bytes.data(), size, &w, &h, &channels, 4), stbi_image_free);
  if (!pixels) {
    return fail(Errc::kParse,
                std::string("the image could not be decoded: ") + stbi_failure_reason());
  }
  JunkDecodedImage out;
  out.width = w;
  out.height = h;
  auto png = encodeRgbaPng(pixels.get(), w, h);
  if (!png) return std::unexpected(png.error());
  out.png = std::move(*png);
  out.rgba.assign(pixels.get(), pixels.get() + static_cast<std::size_t>(w) * h * 4);
  return out;
}

Result<JunkThumbnail> makeJunkThumbnail(const JunkDecodedImage& image, int maxSide) {
  const int w = image.width;
  const int h = image.height;
  const double scale = std::min(1.0, static_cast<double>(maxSide) / std::max(w, h));
  JunkThumbnail thumb;
  thumb.width = std::max(1, static_cast<int>(std::lround(w * scale)));
  thumb.height = std::max(1, static_cast<int>(std::lround(h * scale)));
  if (scale >= 1.0) {
    thumb.png = image.png;
    return thumb;
  }
  std::vector<std::uint8_t> small(static_cast<std::size_t>(thumb.width) * thumb.height * 4);
  if (!stbir_resize_uint8_srgb(image.rgba.data(), w, h, 0, small.data(), thumb.width, thumb.height,
                               0, 4, 3, 0)) {
    return fail(Errc::kIo, "the thumbnail could not be scaled");
  }
  auto png = encodeRgbaPng(small.data(), thumb.width, thumb.height);
  if (!png) return std::unexpected(png.error());
  thumb.png = std::move(*png);
  return thumb;
}

}  // namespace brimvale::junk
