#include "service/rules/rule_items.h"

#include <sys/stat.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"
#include "service/core/action_log.h"

namespace brimvale::service {

RuleItem measuredItem(const std::string& path, std::string rule, std::string action,
                      std::string destination) {
  struct stat info {};
  const bool seen = ::lstat(path.c_str(), &info) == 0;
  return {.path = path,
          .bytes = bytesOf(path).value_or(0),
          .mtime = seen ? static_cast<std::int64_t>(info.st_mtime) : 0,
          .rule = std::move(rule),
          .action = std::move(action),
          .destination = std::move(destination)};
}

std::string ruleItemLine(const RuleItem& item) {
  JsonObjectWriter line;
  line.string("path", item.path)
      .number("bytes", item.bytes)
      .number("mtime", item.mtime)
      .string("rule", item.rule)
      .string("action", item.action);
  if (!item.destination.empty()) line.string("destination", item.destination);
  return line.str();
}

ItemChoice ItemChoice::listingOn(std::ostream& out, bool drivePresent) {
  ItemChoice choice;
  choice.list_ = &out;
  choice.drivePresent_ = drivePresent;
  return choice;
}

Result<void> ItemChoice::limitTo(const std::filesystem::path& file) {
  auto text = readFile(file);
  if (!text) return std::unexpected(text.error());
  std::map<std::string, RuleItem> listed;
  for (const auto line : splitLines(*text)) {
    const auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object() || !doc.contains("path") || !doc["path"].is_string() ||
        !doc.contains("action")) {
      continue;
    }
    RuleItem item{.path = doc["path"].get<std::string>(),
                  .bytes = doc.value("bytes", std::uint64_t{0}),
                  .mtime = doc.value("mtime", std::int64_t{0}),
                  .rule = doc.value("rule", ""),
                  .action = doc.value("action", ""),
                  .destination = doc.value("destination", "")};
    listed.emplace(item.path, std::move(item));
  }
  only_ = std::move(listed);
  return {};
}

bool ItemChoice::takes(const RuleItem& item) {
  if (only_) {
    const auto listed = only_->find(item.path);
    if (listed == only_->end()) return false;
    const RuleItem& was = listed->second;
    // Chosen now for something else (a deletion where a move was listed)
    // is not what was agreed to.
    if (was.action != item.action || was.destination != item.destination) return false;
    if (was.bytes != item.bytes || was.mtime != item.mtime) {
      changed_[item.path] = was.bytes != item.bytes ? "its size" : "its modification time";
      return false;
    }
    taken_.insert(item.path);
  }
  if (list_ != nullptr) {
    *list_ << ruleItemLine(item) << "\n";
    ++items_;
    bytes_ += item.bytes;
  }
  return true;
}

void ItemChoice::finish(ServiceContext& ctx, const KeptByExcludes& kept) {
  if (only_) {
    for (const auto& [path, item] : *only_) {
      if (taken_.contains(path)) continue;
      std::error_code ec;
      const auto changed = changed_.find(path);
      const std::string left = changed != changed_.end() ? "changed"
                               : std::filesystem::exists(std::filesystem::symlink_status(path, ec))
                                   ? "not_chosen"
                                   : "gone";
      if (list_ != nullptr) {
        *list_ << JsonObjectWriter().string("path", path).string("left", left).str() << "\n";
      } else if (left == "gone") {
        ctx.log.say("gone since the preview: " + path);
      } else if (left == "changed") {
        ctx.log.say("left as it is: " + path + " (" + changed->second +
                    " changed since the preview)");
      } else {
        ctx.log.say("left as it is: " + path + " (the rules no longer choose it as previewed)");
      }
    }
  }
  if (list_ == nullptr) return;
  *list_ << JsonObjectWriter()
                .number("items", items_)
                .number("bytes", bytes_)
                .number("kept_items", static_cast<std::uint64_t>(kept.items))
                .number("kept_bytes", kept.bytes)
                .boolean("drive_present", drivePresent_)
                .str()
         << "\n";
}

std::optional<std::filesystem::path> onlyFileArgument(const std::vector<std::string>& args) {
  const auto flag = std::ranges::find(args, "--only");
  if (flag == args.end()) return std::nullopt;
  return std::next(flag) == args.end() ? std::filesystem::path()
                                       : std::filesystem::path(*std::next(flag));
}

}  // namespace brimvale::service
