#include "junk/junk_item.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

namespace brimvale::junk {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr std::array<RawName<JunkKind>, 5> kKindNames{{
    {JunkKind::kText, "text"},
    {JunkKind::kRichText, "richText"},
    {JunkKind::kImage, "image"},
    {JunkKind::kFileRef, "fileRef"},
    {JunkKind::kFileGroup, "fileGroup"},
}};

constexpr std::array<RawName<JunkSource>, 3> kSourceNames{{
    {JunkSource::kClipboard, "clipboard"},
    {JunkSource::kHotkey, "hotkey"},
    {JunkSource::kManual, "manual"},
}};

// Reads `count` digits at `pos` into `out`.
bool digits(std::string_view text, std::size_t pos, std::size_t count, int& out) {
  if (pos + count > text.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

std::optional<std::string> optionalString(const json& doc, const char* key) {
  auto it = doc.find(key);
  if (it == doc.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<JunkTime> optionalDate(const json& doc, const char* key) {
  auto text = optionalString(doc, key);
  return text ? parseJunkDate(*text) : std::nullopt;
}

bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::string_view junkKindRaw(JunkKind kind) { return rawNameOf(kKindNames, kind); }
std::optional<JunkKind> junkKindFromRaw(std::string_view raw) {
  return valueOfRaw(kKindNames, raw);
}
std::string_view junkSourceRaw(JunkSource source) { return rawNameOf(kSourceNames, source); }
std::optional<JunkSource> junkSourceFromRaw(std::string_view raw) {
  return valueOfRaw(kSourceNames, raw);
}

std::string junkDateText(JunkTime time) {
  const auto ms = time.time_since_epoch().count();
  long long secs = ms / 1000;
  long long frac = ms % 1000;
  if (frac < 0) {
    frac += 1000;
    secs -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(frac));
  return buf;
}

std::optional<JunkTime> parseJunkDate(std::string_view text) {
  std::tm tm{};
  int year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits(text, 0, 4, year) || text[4] != '-' ||
      !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' ||
      !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) ||
      text[16] != ':' || !digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  long long millis = 0;
  if (text[pos] == '.') {
    ++pos;
    int scale = 100;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      millis += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  long long offset = 0;
  const std::string_view zone = text.substr(pos);
  if (zone != "Z") {
    int oh, om;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !digits(zone, 1, 2, oh) ||
        zone[3] != ':' || !digits(zone, 4, 2, om)) {
      return std::nullopt;
    }
    offset = (oh * 3600LL + om * 60LL) * (zone[0] == '+' ? 1 : -1);
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const long long secs = static_cast<long long>(timegm(&tm)) - offset;
  return JunkTime(milliseconds(secs * 1000 + millis));
}

std::string encodeJunkItem(const JunkItem& item) {
  json doc = {
      {"id", item.id},
      {"version", item.version},
      {"kind", std::string(junkKindRaw(item.kind))},
      {"source", std::string(junkSourceRaw(item.source))},
      {"createdAt", junkDateText(item.createdAt)},
      {"ttlSeconds", item.ttlSeconds},
      {"expiresAt", junkDateText(item.expiresAt)},
      {"pinned", item.pinned},
  };
  const auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) doc[key] = *value;
  };
  put("plainText", item.plainText);
  put("richRTFDBase64", item.richRTFDBase64);
  put("richHTML", item.richHTML);
  put("mediaFile", item.mediaFile);
  put("thumbFile", item.thumbFile);
  put("fileRefPath", item.fileRefPath);
  put("fileRefName", item.fileRefName);
  if (item.files) {
    json files = json::array();
    for (const auto& f : *item.files) files.push_back({{"path", f.path}, {"name", f.name}});
    doc["files"] = std::move(files);
  }
  // Invalid UTF-8 from a clipboard is replaced rather than failing the save.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<JunkItem> decodeJunkItem(std::string_view line, JunkTime now) {
  const json doc = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  JunkItem item;
  auto id = optionalString(doc, "id");
  auto kind = optionalString(doc, "kind");
  auto source = optionalString(doc, "source");
  auto created = optionalDate(doc, "createdAt");
  if (!id || id->empty() || !kind || !source || !created) return std::nullopt;
  auto kindValue = junkKindFromRaw(*kind);
  auto sourceValue = junkSourceFromRaw(*source);
  if (!kindValue || !sourceValue) return std::nullopt;
  item.id = *id;
  item.kind = *kindValue;
  item.source = *sourceValue;
  item.createdAt = *created;
  if (auto v = doc.find("version"); v != doc.end() && v->is_number_integer()) {
    item.version = v->get<int>();
  }
  item.ttlSeconds = kDefaultTTLSeconds;
  if (auto t = doc.find("ttlSeconds"); t != doc.end() && t->is_number()) {
    const double secs = t->get<double>();
    if (std::isfinite(secs) && secs >= 0) item.ttlSeconds = secs;
  }
  const auto expires = optionalDate(doc, "expiresAt");
  item.expiresAt =
      expires ? *expires
              : item.createdAt +
                    milliseconds(static_cast<long long>(std::llround(item.ttlSeconds * 1000.0)));
  if (auto p = doc.find("pinned"); p != doc.end() && p->is_boolean()) {
    item.pinned = p->get<bool>();
  } else if (auto until = optionalDate(doc, "pinnedUntil")) {
    item.pinned = *until > now;
    if (*until > item.expiresAt) item.expiresAt = *until;
  }
  item.plainText = optionalString(doc, "plainText");
  item.richRTFDBase64 = optionalString(doc, "richRTFDBase64");
  item.richHTML = optionalString(doc, "richHTML");
  item.mediaFile = optionalString(doc, "mediaFile");
  item.thumbFile = optionalString(doc, "thumbFile");
  if (item.mediaFile && !plainFileName(*item.mediaFile)) item.mediaFile.reset();
  if (item.thumbFile && !plainFileName(*item.thumbFile)) item.thumbFile.reset();
  item.fileRefPath = optionalString(doc, "fileRefPath");
  item.fileRefName = optionalString(doc, "fileRefName");
  if (auto f = doc.find("files"); f != doc.end() && f->is_array()) {
    std::vector<JunkFile> files;
    for (const auto& entry : *f) {
      if (!entry.is_object()) continue;
      auto path = optionalString(entry, "path");
      if (!path) continue;
      files.push_back({*path, optionalString(entry, "name").value_or("")});
    }
    item.files = std::move(files);
  }
  return item;
}

bool junkBoardBefore(const JunkItem& a, const JunkItem& b) {
  if (a.pinned != b.pinned) return a.pinned;
  if (a.createdAt != b.createdAt) return a.createdAt > b.createdAt;
  return a.id < b.id;
}

void sortJunkBoard(std::vector<JunkItem>& items) {
  std::sort(items.begin(), items.end(), junkBoardBefore);
}

std::string junkFileGroupTitle(const std::vector<JunkFile>& files) {
  std::string title = std::to_string(files.size()) + " files — ";
  const std::size_t shown = std::min<std::size_t>(files.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) title += ", ";
    title += files[i].name;
  }
  if (files.size() > 4) title += ", +" + std::to_string(files.size() - 4) + " more";
  return title;
}

std::string junkTitle(const JunkItem& item) {
  switch (item.kind) {
    case JunkKind::kImage: return "Image";
    case JunkKind::kFileRef: return item.fileRefName.value_or(item.fileRefPath.value_or(""));
    case JunkKind::kFileGroup:
      return junkFileGroupTitle(item.files.value_or(std::vector<JunkFile>{}));
    case JunkKind::kText:
    case JunkKind::kRichText: break;
  }
  const std::string text = item.plainText.value_or("");
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  const auto end = text.find('\n', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace brimvale::junk
