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

// The entitlements blob is found among other slots; a signature without one has none; a damaged
// signature is an error (nullopt: expected error).
TEST(CodeSignatureBlob, FindsTheEntitlementsOrRefusesDamage) {
  // Slot 0 is the entitlements blob: header 12, index 8, blob at 20.
  const auto good = superBlob({{kEntitlementsSlot, kEntitlementsBlobMagic, "<plist/>"}});
  const std::string none = "(none)";
  const struct {
    const char* name;
    std::vector<std::byte> bytes;
    std::optional<std::string> xml;
  } kCases[] = {
      {"among other slots",
       superBlob({{0, 0xfade0c02, "code directory"},
                  {2, 0xfade0c01, "requirements"},
                  {kEntitlementsSlot, kEntitlementsBlobMagic, std::string(kXml)}}),
       std::string(kXml)},
      {"no entitlements", superBlob({{0, 0xfade0c02, "code directory"}}), none},
      {"empty", {}, std::nullopt},
      {"length beyond the buffer", withWord(good, 4, static_cast<std::uint32_t>(good.size() + 1)),
       std::nullopt},
      {"entitlements offset past the end", withWord(good, 16, 0xfffffff0), std::nullopt},
      {"entitlements blob magic wrong", withWord(good, 20, 0xfade7172), std::nullopt},
      {"truncated blob keeps its length", std::vector<std::byte>(good.begin(), good.end() - 1),
       std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto xml = entitlementsXmlOf(c.bytes);
    ASSERT_EQ(xml.has_value(), c.xml.has_value());
    if (xml) {
      EXPECT_EQ(xml->value_or(none), *c.xml);
    }
  }
}

}  // namespace
}  // namespace brimvale::apps
