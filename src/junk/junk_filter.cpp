#include "junk/junk_filter.h"

#include <ctime>

#include "junk/junk_link.h"

namespace brimvale::junk {
namespace {

using F = JunkFilter;
using D = JunkDateFilter;

constexpr std::array<RawName<JunkFilter>, 9> kFilterNames{{
    {F::kAll, "all"},
    {F::kPinned, "pinned"},
    {F::kClipboard, "clipboard"},
    {F::kNotes, "notes"},
    {F::kMedia, "media"},
    {F::kFiles, "files"},
    {F::kLinks, "links"},
    {F::kText, "text"},
    {F::kRich, "rich"},
}};

constexpr std::array<RawName<JunkDateFilter>, 6> kDateNames{{
    {D::kAny, "any"},
    {D::kToday, "today"},
    {D::kYesterday, "yesterday"},
    {D::kTwoDays, "twoDays"},
    {D::kThreeDays, "threeDays"},
    {D::kEarlier, "earlier"},
}};

constexpr std::array<RawName<JunkDateFilter>, 6> kDateLabels{{
    {D::kAny, "Any time"},
    {D::kToday, "Today"},
    {D::kYesterday, "Yesterday"},
    {D::kTwoDays, "2 days ago"},
    {D::kThreeDays, "3 days ago"},
    {D::kEarlier, "Earlier"},
}};

// Local midnight `daysBack` days before the local day of `now`.
std::time_t startOfLocalDay(std::time_t now, int daysBack) {
  std::tm tm{};
  localtime_r(&now, &tm);
  tm.tm_mday -= daysBack;
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;  // let the calendar decide whether summer time applies
  return std::mktime(&tm);
}

std::time_t seconds(JunkTime t) {
  return static_cast<std::time_t>(
      std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count());
}

}  // namespace

std::optional<JunkFilter> junkFilterFromRaw(std::string_view raw) {
  return valueOfRaw(kFilterNames, raw);
}
std::optional<JunkDateFilter> junkDateFilterFromRaw(std::string_view raw) {
  return valueOfRaw(kDateNames, raw);
}

bool junkFilterKeeps(JunkFilter filter, const JunkItem& item) {
  switch (filter) {
    case F::kAll: return true;
    case F::kPinned: return item.pinned;
    case F::kClipboard: return item.source == JunkSource::kClipboard;
    case F::kNotes: return item.source == JunkSource::kManual;
    case F::kMedia: return item.kind == JunkKind::kImage;
    case F::kFiles: return item.kind == JunkKind::kFileRef || item.kind == JunkKind::kFileGroup;
    case F::kLinks: return junkItemLink(item).has_value();
    case F::kText: return item.kind == JunkKind::kText && !junkItemLink(item);
    case F::kRich: return item.kind == JunkKind::kRichText;
  }
  return true;
}

bool junkDateFilterKeeps(JunkDateFilter filter, const JunkItem& item, JunkTime now) {
  if (filter == D::kAny) return true;
  const std::time_t nowSecs = seconds(now);
  const std::time_t created = seconds(item.createdAt);
  const auto dayBack = [&](int back) { return startOfLocalDay(nowSecs, back); };
  switch (filter) {
    case D::kAny: return true;
    case D::kToday: return created >= dayBack(0);
    case D::kYesterday: return created >= dayBack(1) && created < dayBack(0);
    case D::kTwoDays: return created >= dayBack(2) && created < dayBack(1);
    case D::kThreeDays: return created >= dayBack(3) && created < dayBack(2);
    case D::kEarlier: return created < dayBack(3);
  }
  return true;
}

}  // namespace brimvale::junk
