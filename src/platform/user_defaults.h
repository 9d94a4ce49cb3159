// The application's own settings store (keys such as
// `brimvale.storage.warnState`): typed values by key, kept by the platform.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/process.h"

namespace brimvale::platform {

// A value read with the wrong type (a string read as an integer) is absent,
// as is a key that was never set; only an integer read as a floating-point
// number is converted, so a value once stored as whole seconds still reads.
// Writes take effect before they return.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  [[nodiscard]] virtual std::optional<std::string> getString(std::string_view key) = 0;
  [[nodiscard]] virtual std::optional<std::int64_t> getInt(std::string_view key) = 0;
  [[nodiscard]] virtual std::optional<bool> getBool(std::string_view key) = 0;
  [[nodiscard]] virtual std::optional<double> getDouble(std::string_view key) = 0;
  [[nodiscard]] virtual Result<void> setString(std::string_view key, std::string_view value) = 0;
  [[nodiscard]] virtual Result<void> setInt(std::string_view key, std::int64_t value) = 0;
  [[nodiscard]] virtual Result<void> setBool(std::string_view key, bool value) = 0;
  [[nodiscard]] virtual Result<void> setDouble(std::string_view key, double value) = 0;
  // Removing a key that is not there succeeds.
  [[nodiscard]] virtual Result<void> remove(std::string_view key) = 0;
};

// Linux: one JSON object in `file` (pretty-printed, sorted keys), rewritten
// atomically on every change. A file that cannot be decoded is left as it is:
// reads give nothing and writes fail with Errc::kParse rather than replace
// every other setting with one key.
[[nodiscard]] std::unique_ptr<UserDefaults> makeJsonUserDefaults(std::filesystem::path file);

// macOS: the `defaults` tool on `domain` (read, write -string/-int/-bool,
// -float, delete), each call with a deadline.
[[nodiscard]] std::unique_ptr<UserDefaults> makeMacUserDefaults(std::string defaultsTool,
                                                                std::string domain,
                                                                ProcessRunner run);

// Readers of `defaults read` output (one value and a newline). An integer is
// an optional '-' and digits; a boolean is written as 1 or 0.
[[nodiscard]] std::optional<std::int64_t> parseDefaultsInt(std::string_view output);
[[nodiscard]] std::optional<bool> parseDefaultsBool(std::string_view output);
// A number as the tool prints a real: "1700000123.75", or "42" for a whole one.
[[nodiscard]] std::optional<double> parseDefaultsDouble(std::string_view output);

}  // namespace brimvale::platform
