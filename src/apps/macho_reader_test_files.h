// Tests only: Mach-O bytes made by hand for what the linker cannot be asked
// for: other byte orders, 32-bit slices, universal 64-bit tables, signatures
// with entitlements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace brimvale::apps::testing {

struct HandCommand {
  std::uint32_t type = 0;  // a dylib command (name at +8 after 24 bytes) or LC_RPATH
  std::string text;
};

inline void appendWord(std::vector<std::byte>& out, std::uint64_t value, std::size_t size,
                       bool bigEndian) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t shift = 8 * (bigEndian ? size - 1 - i : i);
    out.push_back(static_cast<std::byte>((value >> shift) & 0xff));
  }
}

inline std::vector<std::byte> bytesOf(std::string_view text) {
  std::vector<std::byte> out;
  for (char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

// A superblob with one blob per slot; each blob is (magic, payload).
inline std::vector<std::byte> superBlob(
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::string>>& blobs) {
  std::vector<std::byte> body;
  std::vector<std::byte> index;
  const std::size_t headerSize = 12 + 8 * blobs.size();
  for (const auto& [slot, magic, payload] : blobs) {
    appendWord(index, slot, 4, true);
    appendWord(index, headerSize + body.size(), 4, true);
    appendWord(body, magic, 4, true);
    appendWord(body, payload.size() + 8, 4, true);
    for (std::byte b : bytesOf(payload)) body.push_back(b);
  }
  std::vector<std::byte> out;
  appendWord(out, 0xfade0cc0, 4, true);
  appendWord(out, headerSize + body.size(), 4, true);
  appendWord(out, blobs.size(), 4, true);
  out.insert(out.end(), index.begin(), index.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline constexpr std::uint32_t kHandLoadDylib = 0xc;
inline constexpr std::uint32_t kHandIdDylib = 0xd;
inline constexpr std::uint32_t kHandLoadWeakDylib = 0x80000018;
inline constexpr std::uint32_t kHandRpath = 0x8000001c;

// A thin slice: header, the commands, and when given a code signature after them.
inline std::vector<std::byte> handMadeMachO(bool is64, bool bigEndian, std::uint32_t cpuType,
                                            const std::vector<HandCommand>& commands,
                                            const std::vector<std::byte>& signature = {}) {
  std::vector<std::byte> body;
  for (const HandCommand& command : commands) {
    const std::size_t fixed = command.type == kHandRpath ? 12 : 24;
    const std::size_t size = (fixed + command.text.size() + 1 + 7) / 8 * 8;
    appendWord(body, command.type, 4, bigEndian);
    appendWord(body, size, 4, bigEndian);
    appendWord(body, fixed, 4, bigEndian);
    body.resize(body.size() + fixed - 12);
    for (std::byte b : bytesOf(command.text)) body.push_back(b);
    body.resize(body.size() + size - fixed - command.text.size());
  }
  const std::size_t headerSize = is64 ? 32 : 28;
  const std::size_t ncmds = commands.size() + (signature.empty() ? 0 : 1);
  const std::size_t commandBytes = body.size() + (signature.empty() ? 0 : 16);
  const std::size_t signatureOffset = (headerSize + commandBytes + 15) / 16 * 16;
  if (!signature.empty()) {
    appendWord(body, 0x1d, 4, bigEndian);
    appendWord(body, 16, 4, bigEndian);
    appendWord(body, signatureOffset, 4, bigEndian);
    appendWord(body, signature.size(), 4, bigEndian);
  }
  std::vector<std::byte> out;
  appendWord(out, is64 ? 0xfeedfacf : 0xfeedface, 4, bigEndian);
  appendWord(out, cpuType, 4, bigEndian);
  appendWord(out, 0, 4, bigEndian);  // subtype
  appendWord(out, 2, 4, bigEndian);  // executable
  appendWord(out, ncmds, 4, bigEndian);
  appendWord(out, commandBytes, 4, bigEndian);
  appendWord(out, 0, 4, bigEndian);  // flags
  if (is64) appendWord(out, 0, 4, bigEndian);
  out.insert(out.end(), body.begin(), body.end());
  if (!signature.empty()) {
    out.resize(signatureOffset);
    out.insert(out.end(), signature.begin(), signature.end());
  }
  return out;
}

// A universal file holding `slices`, with a 64-bit table when `wide`.
inline std::vector<std::byte> universalOf(const std::vector<std::vector<std::byte>>& slices,
                                          bool wide) {
  const std::size_t entrySize = wide ? 32 : 20;
  std::size_t offset = (8 + entrySize * slices.size() + 15) / 16 * 16;
  std::vector<std::byte> out;
  appendWord(out, wide ? 0xcafebabf : 0xcafebabe, 4, true);
  appendWord(out, slices.size(), 4, true);
  for (const auto& slice : slices) {
    appendWord(out, 0, 4, true);  // cpu type: the reader takes it from the slice
    appendWord(out, 0, 4, true);
    appendWord(out, offset, wide ? 8 : 4, true);
    appendWord(out, slice.size(), wide ? 8 : 4, true);
    appendWord(out, 4, 4, true);  // alignment 2^4
    if (wide) appendWord(out, 0, 4, true);
    offset = (offset + slice.size() + 15) / 16 * 16;
  }
  for (const auto& slice : slices) {
    out.resize((out.size() + 15) / 16 * 16);
    out.insert(out.end(), slice.begin(), slice.end());
  }
  return out;
}

}  // namespace brimvale::apps::testing
