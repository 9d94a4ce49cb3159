#include "app/core/junk_command.h"

#include "app/core/json_output.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "app/core/junk_copy_back.h"
#include "app/core/listing_order.h"
#include "app/core/short_id.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "junk/junk_capture.h"
#include "junk/junk_filter.h"
#include "junk/junk_link.h"
#include "junk/junk_search.h"
#include "junk/junk_settings.h"
#include "platform/linux/x11_clipboard.h"
#include "platform/sentence_embedding.h"

namespace brimvale::app {
namespace {

using nlohmann::json;
using namespace brimvale::junk;

constexpr std::size_t kTitleWidth = 64;
constexpr std::size_t kMaxSearchResults = 20;
// An image file larger than this is no clipboard picture; it is not read.
constexpr std::uintmax_t kLargestImageFile = 64ull * 1024 * 1024;

struct Session {
  JunkCommandContext& c;
  const JunkOptions& o;
  JunkSettings settings;
  JunkStore store;
  JunkFilter filter = JunkFilter::kAll;
  JunkDateFilter date = JunkDateFilter::kAny;
};

int usage(Session& s, const std::string& sentence) {
  s.c.err << sentence << " Nothing was changed.\n";
  return 2;
}

int failed(Session& s, const Error& error) {
  if (error.code == Errc::kNotFound) {
    s.c.err << "No scrap has that id (" << error.detail
            << "); nothing was changed. Run `brimvale junk list` to see the ids.\n";
  } else {
    s.c.err << "The Rade Diriv could not be saved (" << error.message()
            << "). The board is as it was before; check that " << s.c.stateDir.string()
            << " is writable, then try again.\n";
  }
  return 1;
}

// At most `width` characters, cut at a character boundary, with "…" when cut.
// Control bytes become spaces: a copied escape sequence must not drive the terminal.
std::string clipped(std::string text, std::size_t width) {
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  }
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++chars > width) {
      text.resize(i);
      return text + "…";
    }
  }
  return text;
}

std::string kindWord(const JunkItem& item) {
  switch (item.kind) {
    case JunkKind::kText: return junkItemLink(item) ? "link" : "text";
    case JunkKind::kRichText: return "rich";
    case JunkKind::kImage: return "image";
    case JunkKind::kFileRef: return "file";
    case JunkKind::kFileGroup: return "files";
  }
  return "text";
}

std::string itemLine(const JunkItem& item) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(item.expiresAt);
  const std::string when =
      item.pinned
          ? "pinned"
          : "until " + localMinute(static_cast<std::time_t>(seconds.time_since_epoch().count()));
  std::string line = "  " + shortId(item.id) + "  " + kindWord(item);
  line.resize(std::max<std::size_t>(line.size() + 1, 18), ' ');
  line += when;
  line.resize(std::max<std::size_t>(line.size() + 2, 42), ' ');
  return line + clipped(junkTitle(item), kTitleWidth);
}

json itemJson(const JunkItem& item) {
  json doc = json::parse(encodeJunkItem(item));
  doc["title"] = junkTitle(item);
  if (auto link = junkItemLink(item)) doc["link"] = *link;
  return doc;
}

// The scrap `typed` names: its full id or the start of one, in any case.
Result<JunkItem> resolve(Session& s, std::string_view typed) {
  const std::string wanted = asciiLower(typed);
  std::optional<JunkItem> found;
  for (const auto& item : s.store.items()) {
    const std::string id = asciiLower(item.id);
    if (id == wanted) return item;
    if (!wanted.empty() && id.starts_with(wanted)) {
      if (found) {
        return fail(
            Errc::kInvalidArgument,
            "\"" + std::string(typed) + "\" is the start of more than one id; type more of it");
      }
      found = item;
    }
  }
  if (!found) return fail(Errc::kNotFound, std::string(typed));
  return *found;
}

std::vector<JunkItem> visible(Session& s, std::vector<JunkItem> items) {
  const JunkTime now = s.c.clock();
  std::erase_if(items, [&](const JunkItem& i) {
    return !junkFilterKeeps(s.filter, i) || !junkDateFilterKeeps(s.date, i, now);
  });
  return items;
}

// What a scrap holds: its image or file copy on disk, else its text.
std::uint64_t scrapBytes(const JunkItem& item, const std::filesystem::path& media) {
  if (item.mediaFile) {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(media / *item.mediaFile, ec);
    return ec ? 0 : bytes;
  }
  return item.plainText.value_or("").size() + item.richHTML.value_or("").size();
}

int listAction(Session& s) {
  auto items = visible(s, s.store.items());
  if (const auto order = listingOrderFromRaw(s.o.sort)) {
    const auto& media = s.store.paths().media;
    sortListing(
        items, *order, [&](const JunkItem& i) { return scrapBytes(i, media); },
        [](const JunkItem& i) { return std::optional<JunkTime>(i.createdAt); },
        [](const JunkItem& i) { return junkTitle(i); });
  }
  if (s.o.json) {
    json list = json::array();
    for (const auto& item : items) list.push_back(itemJson(item));
    s.c.out << versionedText(json{{"count", items.size()}, {"items", std::move(list)}});
    return 0;
  }
  s.c.out << junkCountLine(items.size()) << "\n";
  for (const auto& item : items) s.c.out << itemLine(item) << "\n";
  return 0;
}

int notALifetime(Session& s, const std::string& raw) {
  return usage(s, "\"" + raw + "\" is not a lifetime; use one such as m5, h1, d1, w1 or mo1.");
}

std::optional<JunkTTL> chosenTTL(Session& s, bool& bad) {
  bad = false;
  if (s.o.ttl.empty()) return std::nullopt;
  auto ttl = junkTTLFromRaw(s.o.ttl);
  bad = !ttl;
  return ttl;
}

int addWith(Session& s, std::string text, std::string_view what) {
  bool badTTL = false;
  auto ttl = chosenTTL(s, badTTL);
  if (badTTL) {
    return notALifetime(s, s.o.ttl);
  }
  ScrapContent content;
  content.source = JunkSource::kManual;
  content.plainText = std::move(text);
  auto added = s.store.addContent(std::move(content), ttl);
  if (!added && added.error().code == Errc::kInvalidArgument) {
    return usage(s, "The " + std::string(what) + " is empty, so there is nothing to add.");
  }
  if (!added) return failed(s, added.error());
  s.c.out << "Added " << shortId(added->id) << ": " << clipped(junkTitle(*added), kTitleWidth)
          << "\n";
  return 0;
}

int addAction(Session& s) {
  std::string text;
  for (const auto& w : s.o.words) text += (text.empty() ? "" : " ") + w;
  return addWith(s, std::move(text), "text");
}

int noteAction(Session& s) {
  if (s.c.inIsTerminal) s.c.out << "Type the note, then press Ctrl-D on a line of its own.\n";
  std::string text(std::istreambuf_iterator<char>(s.c.in), {});
  return addWith(s, std::move(text), "note");
}

constexpr std::string_view kOneId = "Give the id of one scrap, as `brimvale junk list` shows it.";

// The one scrap an action names first of its `count` words, or the exit code
// of saying why there is none (`wrongCount` when the words are not that many).
std::expected<JunkItem, int> namedScrap(Session& s, std::size_t count = 1,
                                        std::string_view wrongCount = kOneId) {
  if (s.o.words.size() != count) return std::unexpected(usage(s, std::string(wrongCount)));
  auto item = resolve(s, s.o.words[0]);
  if (item) return std::move(*item);
  if (item.error().code == Errc::kInvalidArgument)
    return std::unexpected(usage(s, item.error().detail + "."));
  return std::unexpected(failed(s, item.error()));
}

// pin, unpin and delete: one scrap named by id.
template <class Change>
int oneScrap(Session& s, std::string_view done, Change change) {
  auto item = namedScrap(s);
  if (!item) return item.error();
  auto changed = change(item->id);
  if (!changed) return failed(s, changed.error());
  s.c.out << done << " " << shortId(item->id) << ": " << clipped(junkTitle(*item), kTitleWidth)
          << "\n";
  return 0;
}

int pinAction(Session& s) {
  return oneScrap(s, "Pinned", [&](const std::string& id) { return s.store.pin(id); });
}
int unpinAction(Session& s) {
  return oneScrap(s, "Unpinned", [&](const std::string& id) { return s.store.unpin(id); });
}
int deleteAction(Session& s) {
  return oneScrap(s, "Deleted", [&](const std::string& id) { return s.store.remove(id); });
}

int lifetimeAction(Session& s) {
  auto item = namedScrap(s, 2,
                         "Give the id of one scrap and its new lifetime, as in `brimvale junk "
                         "lifetime 1A2B d2`.");
  if (!item) return item.error();
  auto ttl = junkTTLFromRaw(s.o.words[1]);
  if (!ttl) return notALifetime(s, s.o.words[1]);
  auto changed = s.store.setLifetime(item->id, *ttl);
  if (!changed && changed.error().code == Errc::kInvalidArgument) {
    return usage(s, "This scrap was made more than " + std::string(junkTTLInfo(*ttl).label) +
                        " ago, so that lifetime would clear it at once. Choose a longer one, "
                        "or delete the scrap.");
  }
  if (!changed) return failed(s, changed.error());
  const auto seconds = std::chrono::floor<std::chrono::seconds>(changed->expiresAt);
  const std::string when =
      localMinute(static_cast<std::time_t>(seconds.time_since_epoch().count()));
  s.c.out << "Scrap " << shortId(changed->id)
          << (changed->pinned ? " is pinned and stays; once unpinned it clears at "
                              : " now clears at ")
          << when << ", " << junkTTLInfo(*ttl).label << " after it was made.\n";
  return 0;
}

int imageAction(Session& s) {
  if (s.o.words.size() != 1)
    return usage(s, "Give the image file to add, as in `brimvale junk image shot.png`.");
  const std::filesystem::path file = s.o.words[0];
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  constexpr std::string_view kGiveImage = "; give a PNG, JPEG, BMP or GIF file of at most 64 MB.";
  if (ec || size > kLargestImageFile) {
    return usage(s, file.string() +
                        (ec ? " cannot be read (" + ec.message() + ")" : " is too large") +
                        std::string(kGiveImage));
  }
  auto bytes = readFile(file);
  if (!bytes) {
    return usage(s, file.string() + " cannot be read (" + bytes.error().detail + ")" +
                        std::string(kGiveImage));
  }
  ScrapContent content;
  content.kind = JunkKind::kImage;
  content.source = JunkSource::kManual;
  content.imageBytes.assign(bytes->begin(), bytes->end());
  bool badTTL = false;
  auto ttl = chosenTTL(s, badTTL);
  if (badTTL) {
    return notALifetime(s, s.o.ttl);
  }
  auto added = s.store.addContent(std::move(content), ttl);
  if (!added && added.error().code == Errc::kParse) {
    return usage(s,
                 file.string() + " is not an image the board can read" + std::string(kGiveImage));
  }
  if (!added) return failed(s, added.error());
  s.store.waitForThumbnails();
  s.c.out << "Added " << shortId(added->id) << ": " << junkTitle(*added) << "\n";
  return 0;
}

int saveAction(Session& s) {
  auto item = namedScrap(s, 2,
                         "Give the id of one scrap and the folder to save it into, as in "
                         "`brimvale junk save 1A2B ~/Documents`.");
  if (!item) return item.error();
  const PathPolicy policy(PathPolicy::rootsFor(s.c.home));
  auto saved = saveScrapInto(*item, s.store.paths().media, std::filesystem::absolute(s.o.words[1]),
                             policy, s.o.replace);
  if (!saved) {
    s.c.err << saved.error().sentence() << "\n";
    return 1;
  }
  const auto names = [](const std::vector<std::filesystem::path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.filename().string());
    return out;
  };
  const std::string folder = std::filesystem::absolute(s.o.words[1]).lexically_normal().string();
  if (saved->written.empty()) {
    s.c.out << folder << " already holds " << listedInWords(names(saved->unchanged))
            << " as this scrap has it; nothing was written.\n";
    return 0;
  }
  s.c.out << "Saved " << shortId(item->id) << " into " << folder << ": "
          << listedInWords(names(saved->written)) << ".\n";
  return 0;
}

// Saves a capture unless the newest scrap holds the same already: a capture
// asked for just after the watcher saved the same copy adds nothing.
class UnlessNewest final : public ScrapSink {
 public:
  explicit UnlessNewest(JunkStore& store) : store_(store) {}

  bool addScrap(ScrapContent content) override {
    const auto items = store_.items();
    const auto newest = std::max_element(
        items.begin(), items.end(),
        [](const JunkItem& a, const JunkItem& b) { return a.createdAt < b.createdAt; });
    if (newest != items.end() && holdsTheSame(*newest, content)) {
      repeated = *newest;
      return true;
    }
    auto saved = store_.addContent(std::move(content));
    if (!saved) {
      problem = saved.error();
      return false;
    }
    added = *saved;
    return true;
  }

  std::optional<JunkItem> added;
  std::optional<JunkItem> repeated;
  std::optional<Error> problem;

 private:
  bool holdsTheSame(const JunkItem& item, const ScrapContent& content) const {
    if (item.kind != content.kind) return false;
    switch (content.kind) {
      case JunkKind::kText:
      case JunkKind::kRichText: return item.plainText == trimmed(content.plainText);
      case JunkKind::kFileRef: return item.fileRefPath == content.fileRefPath;
      case JunkKind::kFileGroup: return item.files == content.files;
      case JunkKind::kImage: {
        auto png = readFile(store_.paths().media / item.mediaFile.value_or(""));
        return item.mediaFile && png &&
               std::equal(png->begin(), png->end(), content.imageBytes.begin(),
                          content.imageBytes.end(),
                          [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
      }
    }
    return false;
  }

  JunkStore& store_;
};

int captureAction(Session& s) {
  auto clipboard =
      s.c.openClipboard
          ? s.c.openClipboard()
          : Result<std::unique_ptr<platform::Clipboard>>(platform::X11Clipboard::open(""));
  if (!clipboard) {
    s.c.err << "The clipboard could not be read (" << clipboard.error().detail
            << "); the board is unchanged. Run this inside your desktop session, whose X "
               "display DISPLAY names.\n";
    return 1;
  }
  UnlessNewest sink(s.store);
  JunkCapture capture(**clipboard, sink);
  const auto outcome =
      capture.capture(JunkSource::kHotkey, static_cast<int>(s.settings.maxFilesPerScrap()));
  if (sink.repeated) {
    s.c.out << "The clipboard is on the board already as " << shortId(sink.repeated->id) << ": "
            << clipped(junkTitle(*sink.repeated), kTitleWidth) << "\n";
    return 0;
  }
  if (outcome == CaptureOutcome::kSaved && sink.added && s.store.find(sink.added->id)) {
    s.c.out << "Saved the clipboard as " << shortId(sink.added->id) << ": "
            << clipped(junkTitle(*sink.added), kTitleWidth) << "\n";
    return 0;
  }
  if (sink.problem) return failed(s, *sink.problem);
  switch (outcome) {
    case CaptureOutcome::kPrivate:
      s.c.err << "The clipboard holds a password or another private item, so it was not saved; "
                 "the board is unchanged. Copy something else to save it.\n";
      break;
    case CaptureOutcome::kOwnCopy:
      s.c.err << "The clipboard holds a scrap copied back from the board, so it was not saved "
                 "again; the board is unchanged and the scrap is on it already.\n";
      break;
    case CaptureOutcome::kTooManyFiles:
      s.c.err << "The clipboard holds more than " << s.settings.maxFilesPerScrap()
              << " files, the most one scrap keeps, so it was not saved; the board is unchanged. "
                 "Raise JunkMaxFilesPerScrap to keep larger copies.\n";
      break;
    default:
      s.c.err << "The clipboard holds nothing the board keeps (text, an image or files), so "
                 "nothing was saved; the board is unchanged. Copy something first.\n";
      break;
  }
  return 1;
}

int copyAction(Session& s) {
  auto item = namedScrap(s);
  if (!item) return item.error();
  auto offer = junkClipboardOffer(*item, s.store.paths().media);
  auto offered = offer ? offerFromBackground(s.c.launcher, *offer) : std::unexpected(offer.error());
  if (!offered) {
    s.c.err << "The scrap could not be put on the clipboard (" << offered.error().detail
            << "); the board is unchanged. Run this inside your desktop session, whose X "
               "display DISPLAY names.\n";
    return 1;
  }
  s.c.out << "Copied " << shortId(item->id) << ": " << clipped(junkTitle(*item), kTitleWidth)
          << " — paste it wherever you like.\n";
  return 0;
}

int clearAction(Session& s) {
  const std::size_t count = s.store.items().size();
  const Verdict verdict =
      decide(s.c.confirm, "Clear everything on the Rade Diriv: " + std::to_string(count) +
                              (count == 1 ? " scrap." : " scraps."));
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  stopPoint("junk:clearing");
  auto cleared = s.store.clearAll();
  stopPoint("junk:cleared");
  if (!cleared) return failed(s, cleared.error());
  s.c.out << "Cleared " << *cleared << (*cleared == 1 ? " scrap" : " scraps")
          << " from the board.\n";
  return 0;
}

int searchAction(Session& s) {
  std::string query;
  for (const auto& w : s.o.words) query += (query.empty() ? "" : " ") + w;
  if (query.find_first_not_of(" \t\n") == std::string::npos) {
    return usage(s, "Give the words to search for, as in `brimvale junk search invoice`.");
  }
  const auto board = s.store.items();
  const auto embedding = platform::makeHashedTermEmbedding();
  JunkSearchEngine engine(s.c.stateDir / "junk-search-index.json", *embedding);
  engine.load();
  auto hits = engine.search(query, board);
  const auto shown = visible(s, board);
  std::erase_if(hits, [&](const JunkSearchHit& h) {
    return std::none_of(shown.begin(), shown.end(),
                        [&](const JunkItem& i) { return i.id == h.id; });
  });
  if (hits.size() > kMaxSearchResults) hits.resize(kMaxSearchResults);
  const auto itemOf = [&](const std::string& id) {
    return *std::find_if(board.begin(), board.end(), [&](const JunkItem& i) { return i.id == id; });
  };
  if (s.o.json) {
    json results = json::array();
    for (const auto& h : hits) {
      json row = itemJson(itemOf(h.id));
      row["keyword"] = h.keyword;
      row["score"] = std::round(static_cast<double>(h.score) * 1000) / 1000;
      results.push_back(std::move(row));
    }
    s.c.out << versionedText(json{{"query", query}, {"results", std::move(results)}});
    return 0;
  }
  s.c.out << hits.size() << (hits.size() == 1 ? " scrap" : " scraps") << " found for \"" << query
          << "\"\n";
  for (const auto& h : hits) {
    s.c.out << itemLine(itemOf(h.id))
            << (h.keyword ? "" : "  (similar " + std::to_string(std::lround(h.score * 100)) + "%)")
            << "\n";
  }
  return 0;
}

std::string_view settingTypeWord(JunkSettingType type) {
  switch (type) {
    case JunkSettingType::kSwitch: return "switch";
    case JunkSettingType::kWholeNumber: return "number";
    case JunkSettingType::kLifetime: return "lifetime";
    case JunkSettingType::kEdge: return "edge";
    case JunkSettingType::kText: return "text";
  }
  return "text";
}

int settingsAction(Session& s) {
  if (s.o.words.empty() && s.o.json) {
    json list = json::array();
    for (const auto& setting : junkSettingsTable()) {
      list.push_back({{"key", setting.key},
                      {"type", settingTypeWord(setting.type)},
                      {"value", s.settings.shown(setting)},
                      {"default", setting.defaultValue},
                      {"meaning", s.settings.meaningOf(setting)}});
    }
    json lifetimes = json::array();
    for (int i = 0; i <= static_cast<int>(JunkTTL::kMo6); ++i) {
      const auto& info = junkTTLInfo(static_cast<JunkTTL>(i));
      lifetimes.push_back(
          {{"raw", info.raw}, {"label", info.label}, {"group", junkTTLGroupName(info.group)}});
    }
    s.c.out << versionedText(json{{"settings", std::move(list)},
                                  {"lifetimes", std::move(lifetimes)},
                                  {"help", {kJunkHelp.watching, kJunkHelp.copyBack}}});
    return 0;
  }
  if (s.o.words.empty()) {
    for (const auto& setting : junkSettingsTable()) {
      std::string line = std::string(setting.key) + " = " + s.settings.shown(setting);
      line.resize(std::max<std::size_t>(line.size() + 2, 36), ' ');
      s.c.out << line << s.settings.meaningOf(setting) << "\n";
    }
    s.c.out << "\n" << kJunkHelp.watching << "\n" << kJunkHelp.copyBack << "\n";
    return 0;
  }
  const JunkSetting* setting = findJunkSetting(s.o.words[0]);
  if (!setting) {
    return usage(s, "\"" + s.o.words[0] +
                        "\" is not a Rade Diriv setting; `brimvale junk settings` lists them.");
  }
  if (s.o.words.size() == 1) {
    s.c.out << setting->key << " = " << s.settings.shown(*setting) << "\n";
    return 0;
  }
  if (s.o.words.size() > 2) return usage(s, "Give one setting and one value.");
  if (auto set = s.settings.set(*setting, s.o.words[1]); !set) {
    if (set.error().code == Errc::kInvalidArgument) return usage(s, set.error().detail + ".");
    s.c.err << "The setting could not be saved (" << set.error().message()
            << "); it keeps its old value. Check that " << s.c.stateDir.string()
            << " is writable, then try again.\n";
    return 1;
  }
  s.c.out << setting->key << " = " << s.settings.shown(*setting) << "\n";
  return 0;
}

struct JunkAction {
  std::string_view name;
  int (*run)(Session&);
  // Whether the board is read (and expired scraps swept) first.
  bool readsBoard = true;
};

// One action per line: the order is the order the usage line names them.
// clang-format off
constexpr std::array kActions{
    JunkAction{"list", listAction},
    JunkAction{"add", addAction},
    JunkAction{"note", noteAction},
    JunkAction{"pin", pinAction},
    JunkAction{"unpin", unpinAction},
    JunkAction{"lifetime", lifetimeAction},
    JunkAction{"delete", deleteAction},
    JunkAction{"image", imageAction},
    JunkAction{"capture", captureAction},
    JunkAction{"copy", copyAction},
    JunkAction{"save", saveAction},
    JunkAction{"clear", clearAction},
    JunkAction{"search", searchAction},
    JunkAction{"settings", settingsAction, false},
};
// clang-format on

std::string actionNames() {
  std::string names;
  for (const auto& a : kActions) names += (names.empty() ? "" : ", ") + std::string(a.name);
  return names;
}

}  // namespace

std::string junkCountLine(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " scrap" : " scraps") + " on the board";
}

void addJunkOptions(CLI::App& sub, JunkOptions& options) {
  sub.add_option("action", options.action, actionNames() + " (list when none is given)");
  sub.add_option("words", options.words,
                 "add: the TEXT; pin, unpin, delete, copy: the ID (its first characters will do); "
                 "lifetime: the ID and a lifetime; image: a FILE; save: the ID and a FOLDER; "
                 "search: the QUERY; settings: KEY and VALUE");
  sub.add_option("--filter", options.filter,
                 "list, search: all, pinned, clipboard, notes, media, files, links, text or rich");
  sub.add_option("--date", options.date,
                 "list, search: any, today, yesterday, twoDays, threeDays or earlier");
  sortOption(sub, options.sort,
             "list: size (largest first), age (saved longest ago first) or name (its title)");
  sub.add_option("--ttl", options.ttl,
                 "add, note, image: clear it after m5 … mo6 instead of the default");
  sub.add_flag("--json", options.json,
               "list, search, settings: print JSON (see docs/json-schemas.md)");
  sub.add_flag("--replace", options.replace,
               "save: replace a different file of the same name in the folder");
  sub.add_flag("-y,--yes", options.yes, "clear: do not ask first");
  sub.add_flag("--dry-run", options.dryRun, "clear: show what would go, changing nothing");
}

int junkCommand(JunkCommandContext& context, const JunkOptions& options) {
  Session s{context, options, JunkSettings(context.defaults),
            JunkStore(context.stateDir, JunkSettings(context.defaults), context.clock,
                      [&context](const std::string& line) { context.err << line << "\n"; })};
  const std::string name = options.action.empty() ? "list" : options.action;
  const auto action = std::find_if(kActions.begin(), kActions.end(),
                                   [&](const JunkAction& a) { return a.name == name; });
  if (action == kActions.end()) {
    return usage(s, "\"" + name + "\" is not a junk action; use one of " + actionNames() + ".");
  }
  auto filter = junkFilterFromRaw(options.filter);
  auto date = junkDateFilterFromRaw(options.date);
  if (!filter || !date) {
    return usage(s,
                 "Use --filter all, pinned, clipboard, notes, media, files, links, text or "
                 "rich, and --date any, today, yesterday, twoDays, threeDays or earlier.");
  }
  s.filter = *filter;
  s.date = *date;
  if (action->readsBoard) {
    if (auto loaded = s.store.load(); !loaded) {
      context.err << "The Rade Diriv could not be read (" << loaded.error().message()
                  << "). Nothing was changed; check the permissions of "
                  << s.store.paths().items.string() << ", then try again.\n";
      return 1;
    }
    // Scraps past their time leave before anything is shown or changed.
    if (auto swept = s.store.sweep(context.clock()); !swept) return failed(s, swept.error());
  }
  return action->run(s);
}

}  // namespace brimvale::app
