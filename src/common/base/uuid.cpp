#include "common/base/uuid.h"

#include <stdlib.h>

#include <array>

namespace brimvale {

std::string newUuid() {
  // arc4random_buf draws from the kernel's generator and is safe across fork:
  // a seeded per-process generator would hand two forked children the same
  // ids, and records keyed by them would overwrite each other.
  std::array<unsigned char, 16> b{};
  arc4random_buf(b.data(), b.size());
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
