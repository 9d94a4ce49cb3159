#include "app/core/rules_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

#include "app/core/rule_editor.h"
#include "app/core/rule_preview.h"
#include "app/core/service_command.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;

// A listing walks every rule's folder; a run may copy much to the drive.
constexpr std::chrono::seconds kRuleListingLimit{600};
constexpr std::chrono::hours kRuleRunLimit{12};

// The last line of a program's output with something on it, for a failure.
std::string lastOutputLine(std::string_view output) {
  const std::string_view line = lastNonBlankLine(output);
  return line.empty() ? "it said nothing" : std::string(line);
}

std::string ruleSentence(const RuleRow& rule) {
  const std::string days = std::to_string(rule.age) + (rule.age == 1 ? " day" : " days");
  if (rule.action == "archive_old") {
    return "Move the items in " + rule.src + " older than " + days + " to " + rule.dest +
           " on the drive.";
  }
  if (rule.action == "archive_big") {
    const std::string mib = rule.extra.empty() ? "500" : rule.extra;
    return "Move the files in " + rule.src + " and its folders older than " + days +
           " and larger than " + mib + " MB to " + rule.dest + " on the drive.";
  }
  if (rule.action == "delete_old") {
    return "Delete the items in " + rule.src + " older than " + days + ".";
  }
  if (rule.action == "app_cache_clean") {
    return "Empty the configured apps' cache folders of items older than " + days + ".";
  }
  return "\"" + rule.action + "\" on " + rule.src + ": an action the rules don't know, skipped.";
}

int listRules(RulesCommandHost& host) {
  const auto rules = readRules(host.paths.config, host.paths.home);
  if (!rules) {
    host.err << rules.error().message()
             << ", so the rules can't be shown. Nothing was changed; check that the settings "
                "file can be read.\n";
    return 1;
  }
  if (rules->empty()) {
    host.out << "No rules are configured; add them on the dashboard's Rules page.\n";
    return 0;
  }
  host.out << "Your rules, in the order they run:\n";
  int n = 0;
  for (const auto& rule : *rules) {
    host.out << "  " << ++n << ". " << ruleSentence(rule) << "\n";
  }
  host.out << "Each runs with at least the minimum ages of your settings. `brimvale rules "
              "--preview` lists what they would act on now.\n";
  return 0;
}

// The items a rule run would act on now; limited to `only` (service lines)
// when given.
Result<RulePreview> listRuleItems(RulesCommandHost& host, const fs::path* only) {
  std::vector<std::string> args{"dry-run", "--items"};
  if (only != nullptr) args.insert(args.end(), {"--only", only->string()});
  const ProcessResult r =
      runServiceCommand(host.run, host.paths, host.rsyncPath, args, kRuleListingLimit);
  RulePreview preview = parseRuleListing(r.out);
  if (!r.succeeded() || !preview.complete) {
    return fail(Errc::kToolFailed, "`brim-vale dry-run --items` " + r.describe() + ": " +
                                       lastOutputLine(r.err + r.out));
  }
  return preview;
}

// Whether the item left its place as its action says: gone from its path,
// and for a move found in its destination folder (or a month folder in it,
// where a name already taken sends it).
bool actedOnDisk(const RulePreviewItem& item) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(item.path, ec))) return false;
  if (item.action != "move") return true;
  const std::string name = fs::path(item.path).filename().string();
  if (fs::exists(fs::symlink_status(fs::path(item.destination) / name, ec))) return true;
  for (const auto& month : fs::directory_iterator(item.destination, ec)) {
    for (const auto& entry : fs::directory_iterator(month.path(), ec)) {
      if (entry.path().filename().string().starts_with(name)) return true;
    }
  }
  return false;
}

std::string actedSentence(const std::vector<RulePreviewItem>& acted) {
  struct Done {
    std::string_view action;
    std::string words;
    std::int64_t items = 0;
    std::int64_t bytes = 0;
  } done[] = {{"move", "moved {} to the drive"},
              {"delete", "deleted {}"},
              {"trash", "sent {} to the Trash, where their space comes back when it is emptied"}};
  for (const auto& item : acted) {
    for (auto& kind : done) {
      if (kind.action == item.action) {
        ++kind.items;
        kind.bytes += item.bytes;
      }
    }
  }
  std::vector<std::string> parts;
  for (const auto& kind : done) {
    if (kind.items == 0) continue;
    const std::string count = std::to_string(kind.items) + (kind.items == 1 ? " item" : " items") +
                              " (" + platform::formatFileByteCount(kind.bytes) + ")";
    const std::size_t at = kind.words.find("{}");
    parts.push_back(kind.words.substr(0, at) + count + kind.words.substr(at + 2));
  }
  if (parts.empty()) return "The rules moved and deleted nothing.\n";
  return "The rules " + joinedWith(parts, "; ") + ".\n";
}

int runRuleItems(RulesCommandHost& host) {
  std::error_code ec;
  if (fs::exists(host.paths.paused, ec)) {
    host.err << "Automatic actions are paused, so the rules didn't run. Nothing was moved or "
                "deleted; resume them with `brimvale service resume` when you're ready and run "
                "it again.\n";
    return 1;
  }
  // Each run hands the service a list of its own, so two runs (of two
  // processes, or two dashboard requests) never share one.
  static std::atomic<unsigned> runs{0};
  const fs::path list = host.paths.state / ("rules-run-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(++runs) + ".jsonl");
  const auto removeList = [&] { fs::remove(list, ec); };
  std::optional<std::vector<RulePreviewItem>> saved;
  if (!host.previewFile.empty()) {
    const auto text = readFile(host.previewFile);
    auto parsed = text ? parseSavedRulePreview(*text) : std::unexpected(text.error());
    if (!parsed) {
      host.err << "Brimvale couldn't use the preview " << host.previewFile.string() << " ("
               << parsed.error().message()
               << "), so nothing was moved or deleted. Your files are safe; save a new one with "
                  "`brimvale rules --preview --json > FILE`.\n";
      return 1;
    }
    saved = std::move(*parsed);
    if (auto written = writeFileAtomically(list, ruleListingLines(*saved)); !written) {
      host.err << "The list of items to act on couldn't be written (" << written.error().message()
               << "), so nothing was moved or deleted. Your files are safe; free some space on "
                  "the internal disk and try again.\n";
      return 1;
    }
  }
  auto preview = listRuleItems(host, saved ? &list : nullptr);
  if (!preview) {
    removeList();
    host.err << "Brimvale couldn't check what the rules would act on (" << preview.error().message()
             << "), so nothing was moved or deleted. Your files are safe; run `brim-vale dry-run` "
                "to see why.\n";
    return 1;
  }
  const std::time_t now = std::time(nullptr);
  const std::string changed = changedSinceRulePreview(preview->left);
  if (preview->items.empty()) {
    removeList();
    host.out << (saved ? "None of the previewed items is still due.\n"
                       : rulePreviewText(*preview, now))
             << changed << "Nothing was moved or deleted.\n";
    return 0;
  }
  if (!preview->drivePresent) {
    removeList();
    host.err << "The drive is not connected, and the rules run only while it is. Nothing was "
                "moved or deleted; connect the drive and run again.\n";
    return 1;
  }
  if (const Verdict verdict = decide(host.confirm, rulePreviewText(*preview, now) + changed);
      verdict != Verdict::kGo) {
    removeList();
    return stoppedStatus(verdict);
  }
  if (auto written = writeFileAtomically(list, ruleListingLines(preview->items)); !written) {
    host.err << "The list of items to act on couldn't be written (" << written.error().message()
             << "), so nothing was moved or deleted. Your files are safe; free some space on the "
                "internal disk and try again.\n";
    return 1;
  }
  const ProcessResult r =
      runServiceCommand(host.run, host.paths, host.rsyncPath,
                        {"relocate-now", "--only", list.string()}, kRuleRunLimit);
  removeList();
  std::vector<RulePreviewItem> acted;
  std::vector<std::string> left;
  for (const auto& item : preview->items) {
    if (actedOnDisk(item)) {
      acted.push_back(item);
    } else {
      left.push_back(item.path);
    }
  }
  host.out << "\n" << actedSentence(acted) << changed;
  if (!left.empty()) {
    host.out << "Still where it was, left as it is (in use, changed as the run went, or not "
                "safe to move): "
             << joinedWith(left, ", ")
             << ". Your files there are safe; `brim-vale log` says why.\n";
  }
  if (!r.succeeded()) {
    host.err << "The rule run " << r.describe() << ": " << lastOutputLine(r.out + r.err)
             << "\nWhat is said above was checked on disk; nothing else was changed.\n";
  }
  return left.empty() && r.succeeded() ? 0 : 1;
}

}  // namespace

int rulesCommand(RulesCommandHost& host, RulesMode mode) {
  if (mode == RulesMode::kList) return listRules(host);
  if (mode == RulesMode::kRun) return runRuleItems(host);
  auto preview = listRuleItems(host, nullptr);
  if (!preview) {
    host.err << "Brimvale couldn't list what the rules would act on (" << preview.error().message()
             << "). Nothing was changed; run `brim-vale dry-run` to see why.\n";
    return 1;
  }
  sortRulePreview(preview->items, host.order);
  const std::time_t now = std::time(nullptr);
  if (host.json) {
    host.out << rulePreviewJson(*preview, now);
    return 0;
  }
  host.out << rulePreviewText(*preview, now);
  if (!preview->drivePresent) {
    host.out << "The drive is not connected: the rules can run only once it is.\n";
  }
  if (!preview->items.empty()) {
    host.out << "To act on only some of them, save this preview with `--json`, take out the "
                "items to keep and run `brimvale rules run --from-preview FILE`.\n";
  }
  return 0;
}

}  // namespace brimvale::app
