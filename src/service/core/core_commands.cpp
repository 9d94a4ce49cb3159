#include "service/core/core_commands.h"

#include <charconv>

#include "common/base/file_io.h"
#include "common/state/service_log.h"
#include "service/core/action_log.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace {

// The optional row count of `actions` and `log`: absent means 50.
std::optional<std::size_t> rowCount(const std::vector<std::string>& args) {
  if (args.empty()) return 50;
  const std::string& text = args[0];
  std::size_t n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

int badCount(ServiceContext& ctx, std::string_view command) {
  ctx.err << "Usage: brim-vale " << command
          << " [N], where N is a whole number of lines. Nothing was changed.\n";
  return 2;
}

}  // namespace

int statusCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  ctx.out << renderStatusText(gatherStatus(ctx), ctx.cfg(), ctx.paths);
  return 0;
}

int jsonCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const auto [json, saved] = writeStatusJson(ctx);
  ctx.out << json;
  if (saved) return 0;
  const std::string why = saved.error().message();
  ctx.log.log("status snapshot not written: " + why);
  ctx.err << "The status snapshot above couldn't be saved to " << ctx.paths.statusJson.string()
          << ", so the application keeps showing the previous one. Your data is safe; free some "
             "space on the internal disk and run this again. "
          << why << "\n";
  return 1;
}

int actionsCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  auto n = rowCount(args);
  if (!n) return badCount(ctx, "actions");
  std::vector<std::string> rows;
  for (auto& line : readLastLines(ctx.paths.actions, *n)) {
    if (!line.empty()) rows.push_back(std::move(line));
  }
  ctx.out << renderActionsJson(rows);
  return 0;
}

int logCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  auto n = rowCount(args);
  if (!n) return badCount(ctx, "log");
  for (const auto& line : lastLogLines(ctx.paths.log, *n)) ctx.out << line << '\n';
  return 0;
}

}  // namespace brimvale::service
