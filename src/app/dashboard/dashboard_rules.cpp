#include "app/dashboard/dashboard_rules.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <sstream>

#include "app/core/rule_editor.h"
#include "app/core/rules_command.h"
#include "app/core/service_command.h"
#include "common/base/file_io.h"

namespace brimvale::app {
namespace {

// The actions the editor offers, in the order it lists them.
constexpr std::array<std::string_view, 4> kRuleActions = {"archive_old", "archive_big",
                                                          "delete_old", "app_cache_clean"};
// These rules name no folder of their own: the service cleans the configured app caches.
constexpr std::string_view kNoSourceAction = "app_cache_clean";

nlohmann::json rulesJson(const std::vector<RuleRow>& rows) {
  nlohmann::json rules = nlohmann::json::array();
  for (const auto& row : rows) {
    rules.push_back({{"action", row.action},
                     {"src", row.src},
                     {"dest", row.dest},
                     {"age", row.age},
                     {"extra", row.extra},
                     {"actionLabel", actionLabel(row.action)},
                     {"sourceLabel", sourceLabel(row)},
                     {"destinationLabel", destinationLabel(row)}});
  }
  nlohmann::json actions = nlohmann::json::array();
  for (auto action : kRuleActions) {
    actions.push_back({{"action", action}, {"label", actionLabel(action)}});
  }
  return {{"rules", rules}, {"actions", actions}};
}

web::Reply unreadableRow(std::size_t index) {
  return web::sentenceReply(
      400, "Rule " + std::to_string(index + 1) +
               " couldn't be read: it needs an action the editor offers, text for its folders "
               "and a whole number of days of 0 or more. Nothing was saved.");
}

}  // namespace

std::expected<std::vector<RuleRow>, web::Reply> rulesFromRequest(const nlohmann::json& body,
                                                                 const PathPolicy& policy) {
  if (!body.contains("rules") || !body["rules"].is_array()) {
    return std::unexpected(
        web::sentenceReply(400, "The request named no rules to save. Nothing was saved."));
  }
  std::vector<RuleRow> rows;
  for (std::size_t i = 0; i < body["rules"].size(); ++i) {
    const auto& r = body["rules"][i];
    const bool readable = r.is_object() && r.value("action", nlohmann::json()).is_string() &&
                          r.value("src", nlohmann::json("")).is_string() &&
                          r.value("dest", nlohmann::json("")).is_string() &&
                          r.value("extra", nlohmann::json("")).is_string() &&
                          r.value("age", nlohmann::json(0)).is_number_integer() &&
                          r.value("age", 0) >= 0;
    if (!readable) return std::unexpected(unreadableRow(i));
    RuleRow row{.action = r["action"],
                .src = r.value("src", ""),
                .dest = r.value("dest", ""),
                .age = r.value("age", std::int64_t{0}),
                .extra = r.value("extra", "")};
    if (std::find(kRuleActions.begin(), kRuleActions.end(), row.action) == kRuleActions.end()) {
      return std::unexpected(unreadableRow(i));
    }
    if (row.action != kNoSourceAction) {
      auto allowed = web::allowedPath(policy, row.src);
      if (!allowed) return std::unexpected(allowed.error());
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void addRuleRoutes(web::DashboardServer& server, const StatePaths& paths,
                   const PathPolicy& policy) {
  server.get("rules", [paths] {
    auto rows = readRules(paths.config, paths.home);
    if (!rows) {
      return web::sentenceReply(503,
                                "Brimvale couldn't read its rules, so none are shown. "
                                "Nothing was changed; check that " +
                                    paths.config.string() +
                                    " is readable. Raw error: " + rows.error().message());
    }
    return web::jsonReply(rulesJson(*rows));
  });
  server.post("rules", [paths, &policy](const nlohmann::json& body) {
    auto rows = rulesFromRequest(body, policy);
    if (!rows) return rows.error();
    if (auto saved = saveRules(paths.config, *rows, paths.home); !saved) {
      return web::sentenceReply(
          503,
          "The rules couldn't be saved, so the old ones stay in force. "
          "Your files are safe; check that " +
              paths.config.string() +
              " is writable and try again. Raw error: " + saved.error().message());
    }
    auto reread = readRules(paths.config, paths.home);
    return reread ? web::jsonReply(rulesJson(*reread))
                  : web::sentenceReply(503, reread.error().message());
  });
}

void addRulePreviewRoutes(web::DashboardServer& server, const DashboardSources& sources) {
  const auto hostFor = [sources](std::ostream& out, std::ostream& err) {
    return RulesCommandHost{.paths = sources.paths,
                            .rsyncPath = sources.rsyncPath,
                            .out = out,
                            .err = err,
                            .run = platform::runnerOf(sources.launcher)};
  };
  server.get("rules-preview", [hostFor] {
    std::ostringstream out;
    std::ostringstream err;
    RulesCommandHost host = hostFor(out, err);
    host.json = true;
    if (rulesCommand(host, RulesMode::kPreview) != 0) return web::sentenceReply(503, err.str());
    return web::Reply{.status = 200, .contentType = "application/json", .body = out.str()};
  });
  server.post("rules-run", [hostFor, paths = sources.paths](const nlohmann::json& body) {
    if (!std::filesystem::exists(paths.serviceProgram)) {
      return web::sentenceReply(409, std::string(kNotInstalledYet));
    }
    const auto items = body.find("items");
    if (items == body.end() || !items->is_array()) {
      return web::sentenceReply(400,
                                "The ticked items didn't come as a list, so nothing was moved "
                                "or deleted. Reload the page and preview again.");
    }
    // Each request saves its own list, so two at once never share one.
    static std::atomic<unsigned> requests{0};
    const std::filesystem::path saved =
        paths.state / ("rules-dashboard-preview-" + std::to_string(++requests) + ".json");
    if (auto written = writeFileAtomically(saved, nlohmann::json{{"items", *items}}.dump());
        !written) {
      return web::sentenceReply(500, "The ticked items couldn't be saved (" +
                                         written.error().message() +
                                         "), so nothing was moved or deleted. Try again.");
    }
    std::ostringstream out;
    std::ostringstream err;
    RulesCommandHost host = hostFor(out, err);
    host.previewFile = saved;
    const int status = rulesCommand(host, RulesMode::kRun);
    std::error_code ignored;
    std::filesystem::remove(saved, ignored);
    return web::jsonReply({{"ok", status == 0}, {"report", out.str()}, {"problems", err.str()}});
  });
}

}  // namespace brimvale::app
