// Privacy permissions an app declares, from its Info.plist usage descriptions and from the
// entitlement keys of its code signature; each becomes a named permission macOS may ask for again.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::apps {

// Where a permission was found; persisted by its raw text.
enum class TccSource { kCodesignEntitlement, kInfoPlistUsageDescription };

[[nodiscard]] std::string_view tccSourceRaw(TccSource source);

struct TCCEntitlement {
  std::string key;
  std::string displayName;
  TccSource source = TccSource::kInfoPlistUsageDescription;

  bool operator==(const TCCEntitlement&) const = default;
};

// The known usage keys present in `<bundle>/Contents/Info.plist`, in table order. An unreadable
// or malformed Info.plist gives an empty list.
[[nodiscard]] std::vector<TCCEntitlement> scanInfoPlistUsage(const std::filesystem::path& bundle);

// The known keys among the entitlement keys read from the main executable's signature, in
// table order.
[[nodiscard]] std::vector<TCCEntitlement> signatureEntitlements(
    const std::vector<std::string>& entitlementKeys);

// `first` then `second`, dropping every entry whose source and key were already seen.
[[nodiscard]] std::vector<TCCEntitlement> mergeEntitlements(
    const std::vector<TCCEntitlement>& first, const std::vector<TCCEntitlement>& second);

}  // namespace brimvale::apps
