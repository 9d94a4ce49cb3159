#include "apps/code_signature_blob.h"

#include <gtest/gtest.h>

#include "apps/macho_reader_test_files.h"

namespace brimvale::apps {
namespace {

using testing::appendWord;
using testing::superBlob;

constexpr std::string_view kXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\"><dict>"
    "<key>com.apple.security.network.client</key><true/>"
    "<key>com.apple.security.device.camera</key><true/>"
    "</dict></plist>\n";

// Patches the big-endian word at `offset`, for damaging a good superblob.
std::vector<std::byte> withWord(std::vector<std::byte> bytes, std::size_t offset,
                                std::uint32_t value) {
  std::vector<std::byte> word;
  appendWord(word, value, 4, true);
  std::copy(word.begin(), word.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  return bytes;
}

TEST(CodeSignatureBlob, FindsTheEntitlementsSlotAmongOthers) {
  const auto blob = superBlob({{0, 0xfade0c02, "code directory"},
                               {2, 0xfade0c01, "requirements"},
                               {kEntitlementsSlot, kEntitlementsBlobMagic, std::string(kXml)}});
  auto xml = entitlementsXmlOf(blob);
  ASSERT_TRUE(xml.has_value()) << xml.error().detail;
  EXPECT_EQ(xml->value_or(""), kXml);
}

TEST(CodeSignatureBlob, SignatureWithoutEntitlementsHasNone) {
  auto xml = entitlementsXmlOf(superBlob({{0, 0xfade0c02, "code directory"}}));
  ASSERT_TRUE(xml.has_value());
  EXPECT_FALSE(xml->has_value());
}

TEST(CodeSignatureBlob, DamagedSignaturesAreErrors) {
  // Slot 0 is the entitlements blob: header 12, index 8, blob at 20.
  const auto good = superBlob({{kEntitlementsSlot, kEntitlementsBlobMagic, "<plist/>"}});
  const struct {
    const char* name;
    std::vector<std::byte> bytes;
  } kCases[] = {
      {"empty", {}},
      {"header cut short", std::vector<std::byte>(good.begin(), good.begin() + 10)},
      {"wrong superblob magic", withWord(good, 0, 0xfade0c01)},
      {"length beyond the buffer", withWord(good, 4, static_cast<std::uint32_t>(good.size() + 1))},
      {"length below the header", withWord(good, 4, 4)},
      {"index larger than the blob", withWord(good, 8, 1000)},
      {"entitlements offset past the end", withWord(good, 16, 0xfffffff0)},
      {"entitlements blob magic wrong", withWord(good, 20, 0xfade7172)},
      {"entitlements length below its header", withWord(good, 24, 7)},
      {"entitlements length past the end", withWord(good, 24, 0xffffffff)},
      {"truncated blob keeps its length", std::vector<std::byte>(good.begin(), good.end() - 1)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(entitlementsXmlOf(c.bytes).has_value());
  }
}

TEST(CodeSignatureBlob, EntitlementKeysInDocumentOrder) {
  const struct {
    const char* name;
    std::string xml;
    std::optional<std::vector<std::string>> keys;
  } kCases[] = {
      {"two keys", std::string(kXml),
       std::vector<std::string>{"com.apple.security.network.client",
                                "com.apple.security.device.camera"}},
      {"empty dictionary", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>",
       std::vector<std::string>{}},
      {"array root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>",
       std::nullopt},
      {"not a property list", "com.apple.security.app-sandbox", std::nullopt},
      {"empty text", "", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto keys = entitlementKeys(c.xml);
    ASSERT_EQ(keys.has_value(), c.keys.has_value());
    if (keys) {
      EXPECT_EQ(*keys, *c.keys);
    }
  }
}

}  // namespace
}  // namespace brimvale::apps
