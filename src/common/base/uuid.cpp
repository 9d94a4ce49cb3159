#include "common/base/uuid.h"

#include <array>
#include <cstdint>
#include <random>

namespace brimvale {

std::string newUuid() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device rd;
    std::seed_seq seed{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seed);
  }();
  std::array<unsigned char, 16> b{};
  for (std::size_t i = 0; i < b.size(); i += 8) {
    const std::uint64_t word = generator();
    for (std::size_t k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(word >> (8 * k));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 15];
  }
  return out;
}

}  // namespace brimvale
