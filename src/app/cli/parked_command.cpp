#include "app/cli/parked_command.h"

#include <sys/stat.h>

#include "app/core/json_output.h"

#include <nlohmann/json.hpp>

#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

std::string pretty(const json& doc) { return versionedText(doc); }

std::string joinWords(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

std::string stateText(const relocated::ParkedOriginal& p) {
  switch (p.state) {
    case relocated::ParkedState::kMatches:
      return "the copy still matches (names, sizes and dates; confirming compares every byte)";
    case relocated::ParkedState::kDiffers: {
      std::string text = std::to_string(p.differingCount) + " item(s) differ in the copy:";
      for (const auto& path : p.differing) text += " " + (path.empty() ? "." : path);
      return text + "\n    keep the parked folder until the copy has everything you need";
    }
    case relocated::ParkedState::kNoCopy: return "no copy to confirm against: " + p.detail;
    case relocated::ParkedState::kNotAFolder:
      return "a link or a file, not a parked folder; Brimvale will not delete it";
    case relocated::ParkedState::kUnreadable: return "could not be compared: " + p.detail;
  }
  return {};
}

int usage(ParkedCommandHost& host, const std::vector<std::string>& request) {
  if (request.size() == 1 && request[0] == "confirm") {
    host.err << "`brimvale parked confirm` needs the parked folder to delete, for example "
                "`brimvale parked confirm ~/Library/Foo.hollin-old`. Nothing was changed.\n";
  } else {
    host.err << "`brimvale parked` takes `list` or `confirm PATH` (one parked folder), not `"
             << joinWords(request) << "`. Nothing was changed.\n";
  }
  return 2;
}

}  // namespace

std::optional<std::time_t> parkedAt(const std::filesystem::path& parked) {
  struct stat info {};
  if (::lstat(parked.c_str(), &info) != 0) return std::nullopt;
  return info.st_ctime;
}

std::string renderParkedList(const std::vector<relocated::ParkedOriginal>& list,
                             bool showParkedAt) {
  if (list.empty()) return "No parked originals: nothing is waiting to be confirmed.\n";
  std::string text = "Parked originals (" + std::to_string(list.size()) + "):\n";
  for (const relocated::ParkedOriginal& p : list) {
    text += "\n  " + p.parked.string() + "\n";
    if (p.bytes) text += "    size: " + platform::formatFileByteCount(*p.bytes) + "\n";
    if (showParkedAt) {
      const auto at = parkedAt(p.parked);
      text += "    parked: " + (at ? localMinute(*at) : std::string("unknown")) + "\n";
    }
    if (!p.copy.empty()) text += "    copy: " + p.copy.string() + "\n";
    text += "    " + stateText(p) + "\n";
    if (p.state == relocated::ParkedState::kMatches) {
      text += "    to delete it: brimvale parked confirm " + shellQuoted(p.parked.string()) + "\n";
    }
  }
  return text;
}

std::string parkedListJson(const std::vector<relocated::ParkedOriginal>& list) {
  json rows = json::array();
  for (const relocated::ParkedOriginal& p : list) {
    rows.push_back({{"path", p.parked.string()},
                    {"relocated", p.relocated.string()},
                    {"copy", p.copy.string()},
                    {"bytes", p.bytes ? json(*p.bytes) : json(nullptr)},
                    {"state", relocated::parkedStateRaw(p.state)},
                    {"differingCount", p.differingCount},
                    {"differing", p.differing},
                    {"detail", p.detail}});
  }
  return pretty({{"parked", rows}});
}

std::string confirmJson(const relocated::ConfirmOutcome& o) {
  return pretty({{"result", relocated::confirmResultRaw(o.result)},
                 {"path", o.parked.string()},
                 {"relocated", o.relocated.string()},
                 {"copy", o.copy.string()},
                 {"differingCount", o.differingCount},
                 {"differing", o.differing},
                 {"message", relocated::confirmSentence(o)}});
}

int parkedCommand(ParkedCommandHost& host, const std::vector<std::string>& request,
                  ParkedOutput output) {
  const std::string verb = request.empty() ? "list" : request[0];
  if (verb == "list" && request.size() <= 1) {
    auto list = relocated::listParked(host.paths.home);
    if (host.order) {
      sortListing(
          list, *host.order, [](const relocated::ParkedOriginal& p) { return p.bytes.value_or(0); },
          [](const relocated::ParkedOriginal& p) { return parkedAt(p.parked); },
          [](const relocated::ParkedOriginal& p) { return p.parked; });
    }
    host.out << (output == ParkedOutput::kJson
                     ? parkedListJson(list)
                     : renderParkedList(list, host.order == ListingOrder::kAge));
    return 0;
  }
  if (verb != "confirm" || request.size() != 2 || request[1].empty()) return usage(host, request);
  const relocated::ParkedOriginal seen = relocated::inspectParked(request[1]);
  const Verdict verdict = decide(
      host.confirm,
      "Delete the parked original " + request[1] +
          (seen.bytes ? " (" + platform::formatFileByteCount(*seen.bytes) + ")" : std::string()) +
          ", once it is compared byte for byte with its copy" +
          (seen.copy.empty() ? std::string() : " " + seen.copy.string()) + ".");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  const relocated::ConfirmOutcome outcome = relocated::confirmParked(
      {.home = host.paths.home, .stateDir = host.paths.state, .path = request[1]});
  const bool deleted = outcome.result == relocated::ConfirmResult::kDeleted;
  if (output == ParkedOutput::kJson) {
    host.out << confirmJson(outcome);
  } else {
    (deleted ? host.out : host.err) << relocated::confirmSentence(outcome) << "\n";
  }
  return deleted ? 0 : 1;
}

}  // namespace brimvale::app
