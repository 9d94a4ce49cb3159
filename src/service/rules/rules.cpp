#include "service/rules/rules.h"
#include "common/state/config_keys.h"

namespace brimvale::service {

std::int64_t archiveBigMiB(const RuleText& rule) { return wholeNumber(rule.extra).value_or(500); }

FlooredAge applyAgeFloors(const RuleText& rule, const ServiceConfig& cfg) {
  FlooredAge out{rule.age, {}};
  const std::string label = "rule '" + rule.action + " " + rule.src + "' age ";
  const std::int64_t hard = cfg.getInt(config_keys::kMinAgeHardFloorDays);
  if (out.age < hard) {
    out.notices.push_back(label + std::to_string(out.age) + " < hard floor; clamping to " +
                          std::to_string(hard));
    out.age = hard;
  }
  std::string_view key;
  if (rule.action == "archive_old" || rule.action == "archive_big")
    key = config_keys::kMinArchiveDays;
  if (rule.action == "delete_old") key = config_keys::kMinDeleteDays;
  if (!key.empty()) {
    const std::int64_t global = cfg.getInt(key);
    if (global > out.age) {
      out.notices.push_back(label + std::to_string(out.age) + " raised to " + std::string(key) +
                            "=" + std::to_string(global));
      out.age = global;
    }
  }
  return out;
}

}  // namespace brimvale::service
