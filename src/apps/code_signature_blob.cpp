#include "apps/code_signature_blob.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "apps/plist_file.h"

namespace brimvale::apps {
namespace {

std::optional<std::uint32_t> bigEndian32(std::span<const std::byte> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = (value << 8) | std::to_integer<std::uint32_t>(bytes[offset + i]);
  }
  return value;
}

}  // namespace

Result<std::optional<std::string>> entitlementsXmlOf(std::span<const std::byte> superBlob) {
  constexpr std::size_t kHeader = 12;
  constexpr std::size_t kIndexEntry = 8;
  const auto magic = bigEndian32(superBlob, 0);
  const auto length = bigEndian32(superBlob, 4);
  const auto count = bigEndian32(superBlob, 8);
  if (!magic || !length || !count) return fail(Errc::kParse, "code signature too short");
  if (*magic != kEmbeddedSignatureMagic) return fail(Errc::kParse, "not an embedded signature");
  if (*length < kHeader || *length > superBlob.size()) {
    return fail(Errc::kParse, "code signature length out of range");
  }
  const auto blob = superBlob.first(*length);
  if (*count > (blob.size() - kHeader) / kIndexEntry) {
    return fail(Errc::kParse, "code signature index out of range");
  }
  for (std::uint32_t i = 0; i < *count; ++i) {
    const std::size_t entry = kHeader + i * kIndexEntry;
    if (*bigEndian32(blob, entry) != kEntitlementsSlot) continue;
    const std::uint32_t offset = *bigEndian32(blob, entry + 4);
    const auto blobMagic = bigEndian32(blob, offset);
    const auto blobLength = bigEndian32(blob, std::size_t{offset} + 4);
    if (!blobMagic || !blobLength || *blobMagic != kEntitlementsBlobMagic || *blobLength < 8 ||
        *blobLength > blob.size() - offset) {
      return fail(Errc::kParse, "entitlements blob malformed");
    }
    const auto payload = blob.subspan(std::size_t{offset} + 8, *blobLength - 8);
    return std::string(reinterpret_cast<const char*>(payload.data()), payload.size());
  }
  return std::optional<std::string>{};
}

Result<std::vector<std::string>> entitlementKeys(std::string_view xml) {
  plist_t raw = nullptr;
  plist_from_memory(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  PlistTree root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    return fail(Errc::kParse, "entitlements are not a property list dictionary");
  }
  std::vector<std::string> keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root.get(), &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), it, &key, &value);
    if (!key) break;
    keys.emplace_back(key);
    free(key);
  }
  free(it);
  return keys;
}

}  // namespace brimvale::apps
