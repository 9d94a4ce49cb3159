#include <charconv>
#include <chrono>

#include "common/base/process.h"
#include "platform/macos/mac_tool_output.h"
#include "platform/user_defaults.h"

namespace brimvale::platform {
namespace {

constexpr std::chrono::milliseconds kDefaultsDeadline{5000};

class MacUserDefaults final : public UserDefaults {
 public:
  MacUserDefaults(std::string tool, std::string domain, ProcessRunner run)
      : tool_(std::move(tool)), domain_(std::move(domain)), run_(std::move(run)) {}

  std::optional<std::string> getString(std::string_view key) override {
    auto out = readRaw(key);
    if (!out) return std::nullopt;
    return withoutTrailingNewlines(*out);
  }
  std::optional<std::int64_t> getInt(std::string_view key) override {
    auto out = readRaw(key);
    return out ? parseDefaultsInt(*out) : std::nullopt;
  }
  std::optional<bool> getBool(std::string_view key) override {
    auto out = readRaw(key);
    return out ? parseDefaultsBool(*out) : std::nullopt;
  }
  std::optional<double> getDouble(std::string_view key) override {
    auto out = readRaw(key);
    return out ? parseDefaultsDouble(*out) : std::nullopt;
  }
  Result<void> setString(std::string_view key, std::string_view value) override {
    return run({"write", domain_, std::string(key), "-string", std::string(value)});
  }
  Result<void> setInt(std::string_view key, std::int64_t value) override {
    return run({"write", domain_, std::string(key), "-int", std::to_string(value)});
  }
  Result<void> setBool(std::string_view key, bool value) override {
    return run({"write", domain_, std::string(key), "-bool", value ? "true" : "false"});
  }
  Result<void> setDouble(std::string_view key, double value) override {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return run({"write", domain_, std::string(key), "-float", std::string(text, written.ptr)});
  }
  Result<void> remove(std::string_view key) override {
    // `defaults delete` fails for a missing key; that is the state wanted.
    if (!readRaw(key)) return {};
    return run({"delete", domain_, std::string(key)});
  }

 private:
  std::optional<std::string> readRaw(std::string_view key) {
    ProcessResult r = run_({.path = tool_,
                            .args = {"read", domain_, std::string(key)},
                            .deadline = kDefaultsDeadline});
    if (!r.succeeded()) return std::nullopt;
    return std::move(r.out);
  }

  Result<void> run(std::vector<std::string> args) {
    ProcessResult r = run_({.path = tool_, .args = std::move(args), .deadline = kDefaultsDeadline});
    if (r.succeeded()) return {};
    if (r.outcome == ProcessOutcome::kTimedOut)
      return fail(Errc::kTimedOut, "defaults " + r.describe());
    return fail(Errc::kToolFailed, "defaults " + r.describe() + ": " + r.err);
  }

  std::string tool_;
  std::string domain_;
  ProcessRunner run_;
};

}  // namespace

std::optional<std::int64_t> parseDefaultsInt(std::string_view output) {
  std::string text = withoutTrailingNewlines(output);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> parseDefaultsDouble(std::string_view output) {
  std::string text = withoutTrailingNewlines(output);
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<bool> parseDefaultsBool(std::string_view output) {
  std::string text = withoutTrailingNewlines(output);
  if (text == "1") return true;
  if (text == "0") return false;
  return std::nullopt;
}

std::unique_ptr<UserDefaults> makeMacUserDefaults(std::string defaultsTool, std::string domain,
                                                  ProcessRunner run) {
  return std::make_unique<MacUserDefaults>(std::move(defaultsTool), std::move(domain),
                                           std::move(run));
}

}  // namespace brimvale::platform
