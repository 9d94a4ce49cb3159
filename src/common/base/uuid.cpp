#include "common/base/uuid.h"

#include <stdlib.h>

#include <array>

namespace brimvale {

namespace {

// The text form of 16 random bytes, marked as a version 4 UUID.
std::string uuidText(unsigned char* b) {
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 15];
  }
  return out;
}

}  // namespace

// arc4random_buf draws from the kernel's generator and is safe across fork:
// a seeded per-process generator would hand two forked children the same
// ids, and records keyed by them would overwrite each other.
std::string newUuid() {
  std::array<unsigned char, 16> b{};
  arc4random_buf(b.data(), b.size());
  return uuidText(b.data());
}

std::vector<std::string> newUuids(std::size_t count) {
  std::vector<unsigned char> bytes(count * 16);
  arc4random_buf(bytes.data(), bytes.size());
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(uuidText(bytes.data() + i * 16));
  return out;
}

}  // namespace brimvale
