// One scrap of the board as it is kept in memory and in the items file (one
// JSON object per line), the board's order, and what a card shows as title.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/raw_names.h"
#include "common/base/uuid.h"
#include "junk/scrap_sink.h"

namespace brimvale::junk {

// Dates to the millisecond, so scraps captured in one second keep their order.
using JunkTime = std::chrono::sys_time<std::chrono::milliseconds>;

// The record version this build writes; older records carry none or a lower one.
inline constexpr int kJunkItemVersion = 1;
// The lifetime of a record that carries none: one day.
inline constexpr double kDefaultTTLSeconds = 86400;

inline bool operator==(const JunkFile& a, const JunkFile& b) {
  return a.path == b.path && a.name == b.name;
}

struct JunkItem {
  std::string id;  // upper-case UUID
  int version = kJunkItemVersion;
  JunkKind kind = JunkKind::kText;
  JunkSource source = JunkSource::kManual;
  JunkTime createdAt{};
  double ttlSeconds = kDefaultTTLSeconds;
  JunkTime expiresAt{};
  bool pinned = false;
  std::optional<std::string> plainText;
  std::optional<std::string> richRTFDBase64;
  std::optional<std::string> richHTML;
  std::optional<std::string> mediaFile;  // a plain name inside the media folder
  std::optional<std::string> thumbFile;
  std::optional<std::string> fileRefPath;
  std::optional<std::string> fileRefName;
  std::optional<std::vector<JunkFile>> files;

  bool operator==(const JunkItem&) const = default;
};

[[nodiscard]] std::string_view junkKindRaw(JunkKind kind);
[[nodiscard]] std::optional<JunkKind> junkKindFromRaw(std::string_view raw);
[[nodiscard]] std::string_view junkSourceRaw(JunkSource source);
[[nodiscard]] std::optional<JunkSource> junkSourceFromRaw(std::string_view raw);

// ISO-8601 in UTC: "2026-12-07T20:45:31.250Z" (milliseconds always written).
[[nodiscard]] std::string junkDateText(JunkTime time);
// Reads the form above with or without the fraction, and with "Z" or a
// "+HH:MM"/"-HH:MM" offset; nothing for anything else.
[[nodiscard]] std::optional<JunkTime> parseJunkDate(std::string_view text);

// One line of the items file, without the newline: compact JSON, sorted keys,
// absent optionals left out.
[[nodiscard]] std::string encodeJunkItem(const JunkItem& item);

// Reads one line. Nothing when it is not a JSON object or "id", "kind",
// "source" or "createdAt" is missing or unreadable. Older records: a missing
// "ttlSeconds" is one day, a missing "expiresAt" is createdAt + ttlSeconds;
// with "pinned" missing and "pinnedUntil" present, the scrap is pinned when
// pinnedUntil lies after `now`, and expiresAt moves to pinnedUntil when that
// is later. A media name that is not a plain file name is dropped, so a hand-
// edited record can never point a deletion outside the media folder.
[[nodiscard]] std::optional<JunkItem> decodeJunkItem(std::string_view line, JunkTime now);

// True when `a` goes above `b`: pinned first, then newer createdAt first
// (ids break ties, so the order is the same on every load).
[[nodiscard]] bool junkBoardBefore(const JunkItem& a, const JunkItem& b);
void sortJunkBoard(std::vector<JunkItem>& items);

// The card title of a file group: "5 files — a, b, c, d, +1 more".
[[nodiscard]] std::string junkFileGroupTitle(const std::vector<JunkFile>& files);

// What a card shows in one line: the text (first line), "Image", the file
// name, or the file-group title.
[[nodiscard]] std::string junkTitle(const JunkItem& item);

}  // namespace brimvale::junk
