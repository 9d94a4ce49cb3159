#include "app/dashboard/dashboard_settings.h"

#include <sstream>

#include "app/core/settings_command.h"
#include "app/core/settings_excludes.h"

namespace brimvale::app {

void addSettingsRoutes(web::DashboardServer& server, const DashboardSources& sources) {
  server.get("settings", [&sources] {
    std::ostringstream out;
    std::ostringstream err;
    SettingsCommandContext context{sources.paths.config, *sources.platform.defaults, out, err};
    if (settingsCommand(context, {}, SettingsFormat::kJson) != 0) {
      return web::sentenceReply(503, err.str());
    }
    return web::Reply{.body = out.str()};
  });
  server.post("settings", [&sources](const nlohmann::json& body) {
    if (!body.value("name", nlohmann::json()).is_string() ||
        !body.value("value", nlohmann::json()).is_string()) {
      return web::sentenceReply(
          400,
          "The request needs a setting's name and its new value as text. Nothing was changed.");
    }
    std::ostringstream out;
    std::ostringstream err;
    SettingsCommandContext context{sources.paths.config, *sources.platform.defaults, out, err};
    const int status = settingsCommand(
        context, {body["name"].get<std::string>(), body["value"].get<std::string>()},
        SettingsFormat::kText);
    if (status == 2) return web::sentenceReply(400, err.str());
    if (status != 0) return web::sentenceReply(503, err.str());
    return web::jsonReply({{"message", out.str()}});
  });
  server.get("excludes", [&sources] {
    std::ostringstream out;
    std::ostringstream err;
    SettingsCommandContext context{sources.paths.config, *sources.platform.defaults, out, err};
    if (settingsExcludesCommand(context, {}, SettingsFormat::kJson) != 0) {
      return web::sentenceReply(503, err.str());
    }
    return web::Reply{.body = out.str()};
  });
  server.post("excludes", [&sources](const nlohmann::json& body) {
    const auto verb = body.value("verb", nlohmann::json());
    if (!verb.is_string() || (verb != "add" && verb != "remove") ||
        !body.value("entry", nlohmann::json()).is_string()) {
      return web::sentenceReply(400,
                                "The request needs \"add\" or \"remove\" and an exclude as "
                                "text. Nothing was changed.");
    }
    std::ostringstream out;
    std::ostringstream err;
    SettingsCommandContext context{sources.paths.config, *sources.platform.defaults, out, err};
    const int status = settingsExcludesCommand(
        context, {verb.get<std::string>(), body["entry"].get<std::string>()},
        SettingsFormat::kText);
    if (status == 2) return web::sentenceReply(400, err.str());
    if (status != 0) return web::sentenceReply(503, err.str());
    return web::jsonReply({{"message", out.str()}});
  });
}

}  // namespace brimvale::app
