// Reads the embedded code signature of a Mach-O slice: the superblob the
// LC_CODE_SIGNATURE command points at, and the entitlements property list in it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"

namespace brimvale::apps {

inline constexpr std::uint32_t kEmbeddedSignatureMagic = 0xfade0cc0;
inline constexpr std::uint32_t kEntitlementsBlobMagic = 0xfade7171;
inline constexpr std::uint32_t kEntitlementsSlot = 5;

// The XML entitlements of a superblob (always big-endian). Empty optional when
// the signature carries no entitlements slot; kParse when the superblob, its
// index or the entitlements blob is malformed or runs past `superBlob`.
[[nodiscard]] Result<std::optional<std::string>> entitlementsXmlOf(
    std::span<const std::byte> superBlob);

// The top-level keys of an entitlements property list, in document order.
// kParse when `xml` is not a property list whose root is a dictionary.
[[nodiscard]] Result<std::vector<std::string>> entitlementKeys(std::string_view xml);

}  // namespace brimvale::apps
