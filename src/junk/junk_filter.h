// The board's filters: by kind of scrap and by the local calendar day a scrap
// was created on.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "common/base/raw_names.h"
#include "junk/junk_item.h"

namespace brimvale::junk {

// "all", "pinned", "clipboard", "notes", "media", "files", "links", "text", "rich".
enum class JunkFilter {
  kAll,
  kPinned,
  kClipboard,
  kNotes,
  kMedia,
  kFiles,
  kLinks,
  kText,
  kRich,
};

// "any", "today", "yesterday", "twoDays", "threeDays", "earlier".
enum class JunkDateFilter { kAny, kToday, kYesterday, kTwoDays, kThreeDays, kEarlier };

[[nodiscard]] std::optional<JunkFilter> junkFilterFromRaw(std::string_view raw);
[[nodiscard]] std::optional<JunkDateFilter> junkDateFilterFromRaw(std::string_view raw);

// Notes are scraps the user typed (source manual); "text" keeps text scraps
// that are not links; "links" those that are.
[[nodiscard]] bool junkFilterKeeps(JunkFilter filter, const JunkItem& item);

// Whether the local calendar day of item.createdAt falls where `filter` says,
// counted from the local day of `now`; days begin at local midnight (a day
// across a clock change is 23 or 25 hours long). "earlier" is anything before
// the start of three days ago; a scrap dated after now counts as today.
[[nodiscard]] bool junkDateFilterKeeps(JunkDateFilter filter, const JunkItem& item, JunkTime now);

}  // namespace brimvale::junk
