// Tests only: the user-defaults store kept in memory, typed like the real
// ones (a value read as another type is absent).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/user_defaults.h"

namespace brimvale::platform::testing {

class MemoryDefaults final : public UserDefaults {
 public:
  std::optional<std::string> getString(std::string_view k) override { return get<std::string>(k); }
  std::optional<std::int64_t> getInt(std::string_view k) override { return get<std::int64_t>(k); }
  std::optional<bool> getBool(std::string_view k) override { return get<bool>(k); }
  std::optional<double> getDouble(std::string_view k) override {
    if (auto whole = get<std::int64_t>(k)) return static_cast<double>(*whole);
    return get<double>(k);
  }
  Result<void> setString(std::string_view k, std::string_view v) override {
    return set(k, std::string(v));
  }
  Result<void> setInt(std::string_view k, std::int64_t v) override { return set(k, v); }
  Result<void> setBool(std::string_view k, bool v) override { return set(k, v); }
  Result<void> setDouble(std::string_view k, double v) override { return set(k, v); }
  Result<void> remove(std::string_view k) override {
    values_.erase(std::string(k));
    return {};
  }

 private:
  using Value = std::variant<std::string, std::int64_t, bool, double>;
  template <class T>
  std::optional<T> get(std::string_view k) {
    auto it = values_.find(std::string(k));
    if (it == values_.end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
    return std::get<T>(it->second);
  }
  Result<void> set(std::string_view k, Value v) {
    values_[std::string(k)] = std::move(v);
    return {};
  }
  std::map<std::string, Value> values_;
};

}  // namespace brimvale::platform::testing
