#include "apps/macho_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader_test_files.h"

namespace brimvale::apps {
namespace {

using testing::HandCommand;
using testing::handMadeMachO;
using testing::universalOf;

constexpr std::uint32_t kX86_64 = 0x01000007;
constexpr std::uint32_t kI386 = 7;
constexpr std::uint32_t kPowerPc = 18;

Result<std::vector<MachOSlice>> readBytes(std::span<const std::byte> bytes) {
  return readMachO(MemoryByteSource(bytes));
}

TEST(MachOReader, ReadsEveryLayoutTheFormatAllows) {
  const std::vector<HandCommand> commands{{testing::kHandIdDylib, "/usr/lib/libme.dylib"},
                                          {testing::kHandLoadDylib, "/usr/lib/libA.dylib"},
                                          {testing::kHandLoadWeakDylib, "@rpath/B.framework/B"},
                                          {testing::kHandRpath, "@loader_path/.."}};
  const std::string xml =
      "<plist><dict><key>com.apple.security.app-sandbox</key><true/></dict></plist>";
  const auto signature =
      testing::superBlob({{0, 0xfade0c02, "cd"}, {kEntitlementsSlot, kEntitlementsBlobMagic, xml}});
  const auto ppc = handMadeMachO(false, true, kPowerPc, commands);
  const auto i386 = handMadeMachO(false, false, kI386, commands);
  const auto bigEndian64 = handMadeMachO(true, true, kX86_64, commands);
  const auto signedOne = handMadeMachO(true, false, kX86_64, commands, signature);
  const struct {
    const char* name;
    std::vector<std::byte> bytes;
    std::vector<std::string> arches;
  } kCases[] = {
      {"32-bit big-endian", ppc, {"ppc"}},
      {"32-bit little-endian", i386, {"i386"}},
      {"64-bit little-endian, signed", signedOne, {"x86_64"}},
      {"universal, 64-bit table", universalOf({i386, bigEndian64}, true), {"i386", "x86_64"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto slices = readBytes(c.bytes);
    ASSERT_TRUE(slices.has_value()) << slices.error().detail;
    ASSERT_EQ(slices->size(), c.arches.size());
    for (std::size_t i = 0; i < c.arches.size(); ++i) {
      const MachOSlice& slice = (*slices)[i];
      EXPECT_EQ(slice.arch, c.arches[i]);
      EXPECT_EQ(slice.installName, "/usr/lib/libme.dylib");
      EXPECT_EQ(slice.loads,
                (std::vector<DylibLoad>{{"/usr/lib/libA.dylib", DylibLoadKind::kLoad},
                                        {"@rpath/B.framework/B", DylibLoadKind::kWeak}}));
      EXPECT_EQ(slice.rpaths, std::vector<std::string>{"@loader_path/.."});
      EXPECT_EQ(slice.entitlementsXml,
                c.bytes == signedOne ? std::optional<std::string>(xml) : std::nullopt);
    }
  }
}

// Files cut short at every offset and with random bytes changed: each read must end in a result
// or an error, never outside the bytes.
TEST(MachOReader, DamagedFilesNeverReadOutOfBounds) {
  const auto signature = testing::superBlob({{kEntitlementsSlot, kEntitlementsBlobMagic, "<x/>"}});
  const std::vector<std::vector<std::byte>> files{
      handMadeMachO(true, false, kX86_64, {}, signature),
      universalOf({handMadeMachO(false, true, kPowerPc, {{testing::kHandLoadDylib, "/a"}}),
                   handMadeMachO(true, false, kX86_64, {}, signature)},
                  true)};
  std::mt19937 random(20261207);
  for (std::size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE("file " + std::to_string(f));
    const auto& whole = files[f];
    ASSERT_TRUE(readBytes(whole).has_value());
    // Each file ends with a slice or a signature, so every cut loses a needed byte.
    std::size_t cutsRead = 0;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      // A copy of exactly `cut` bytes, so a read past it is a read past the allocation.
      const std::vector<std::byte> prefix(whole.begin(), whole.begin() + static_cast<long>(cut));
      if (readBytes(prefix)) ++cutsRead;
    }
    EXPECT_EQ(cutsRead, 0u);
    for (int round = 0; round < 3000; ++round) {
      auto bytes = whole;
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < flips; ++i)
        bytes[random() % bytes.size()] = static_cast<std::byte>(random());
      (void)readBytes(bytes);
    }
  }
}

}  // namespace
}  // namespace brimvale::apps
