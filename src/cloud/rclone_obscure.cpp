#include "cloud/rclone_obscure.h"

#include <openssl/evp.h>

#include <array>
#include <memory>

namespace brimvale::cloud {
namespace {

// rclone's published obscuring key: the same on every installation.
constexpr std::array<unsigned char, 32> kObscureKey{
    0x9c, 0x93, 0x5b, 0x48, 0x73, 0x0a, 0x55, 0x4d, 0x6b, 0xfd, 0x7c, 0x63, 0xc8, 0x86, 0xa9, 0x2b,
    0xd3, 0x90, 0x19, 0x8e, 0xb8, 0x12, 0x8a, 0xfb, 0xf4, 0xde, 0x16, 0x2b, 0x8b, 0x95, 0xf6, 0x38};
constexpr std::size_t kBlock = 16;

Result<std::string> decodeUrlBase64(std::string_view text) {
  std::string standard;
  for (char c : text) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
    const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/';
    if (!valid) return fail(Errc::kParse, "The value is not an obscured rclone value.");
    standard.push_back(c);
  }
  if (standard.size() % 4 == 1) return fail(Errc::kParse, "The value is cut short.");
  const std::size_t padding = (4 - standard.size() % 4) % 4;
  standard.append(padding, '=');
  std::string out(standard.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(standard.data()),
                                static_cast<int>(standard.size()));
  if (n < 0) return fail(Errc::kParse, "The value is not an obscured rclone value.");
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

}  // namespace

Result<std::string> revealObscured(std::string_view obscured) {
  auto bytes = decodeUrlBase64(obscured);
  if (!bytes) return std::unexpected(bytes.error());
  if (bytes->size() < kBlock) {
    return fail(Errc::kParse, "The value is too short to be an obscured rclone value.");
  }
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const auto* iv = reinterpret_cast<const unsigned char*>(bytes->data());
  const auto* text = iv + kBlock;
  const int length = static_cast<int>(bytes->size() - kBlock);
  std::string plain(static_cast<std::size_t>(length) + kBlock, '\0');
  int written = 0;
  int tail = 0;
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, kObscureKey.data(), iv) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out, &written, text, length) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out + written, &tail) != 1) {
    return fail(Errc::kParse, "The obscured value could not be read.");
  }
  plain.resize(static_cast<std::size_t>(written + tail));
  return plain;
}

}  // namespace brimvale::cloud
