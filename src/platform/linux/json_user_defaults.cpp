#include <mutex>

#include <nlohmann/json.hpp>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "platform/user_defaults.h"

namespace brimvale::platform {
namespace {

using nlohmann::json;

class JsonUserDefaults final : public UserDefaults {
 public:
  explicit JsonUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

  std::optional<std::string> getString(std::string_view key) override {
    return read<std::string>(key, &json::is_string);
  }
  std::optional<std::int64_t> getInt(std::string_view key) override {
    return read<std::int64_t>(key, &json::is_number_integer);
  }
  std::optional<bool> getBool(std::string_view key) override {
    return read<bool>(key, &json::is_boolean);
  }
  std::optional<double> getDouble(std::string_view key) override {
    return read<double>(key, &json::is_number);
  }
  Result<void> setString(std::string_view key, std::string_view value) override {
    return change([&](json& doc) { doc[std::string(key)] = std::string(value); });
  }
  Result<void> setInt(std::string_view key, std::int64_t value) override {
    return change([&](json& doc) { doc[std::string(key)] = value; });
  }
  Result<void> setBool(std::string_view key, bool value) override {
    return change([&](json& doc) { doc[std::string(key)] = value; });
  }
  Result<void> setDouble(std::string_view key, double value) override {
    return change([&](json& doc) { doc[std::string(key)] = value; });
  }
  Result<void> remove(std::string_view key) override {
    return change([&](json& doc) { doc.erase(std::string(key)); });
  }

 private:
  // The whole store; a missing file is an empty store.
  Result<json> load() const {
    if (!pathExists(file_).value_or(false)) return json::object();
    auto text = readFile(file_);
    if (!text) return std::unexpected(text.error());
    json doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) {
      return fail(Errc::kParse, file_.string() + " is not a JSON object");
    }
    return doc;
  }

  template <class T>
  std::optional<T> read(std::string_view key, bool (json::*isType)() const noexcept) {
    std::lock_guard lock(mutex_);
    auto doc = load();
    if (!doc) return std::nullopt;
    auto it = doc->find(std::string(key));
    if (it == doc->end() || !((*it).*isType)()) return std::nullopt;
    return it->template get<T>();
  }

  template <class Edit>
  Result<void> change(Edit edit) {
    std::lock_guard lock(mutex_);
    auto doc = load();
    if (!doc) return std::unexpected(doc.error());
    edit(*doc);
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    return writeFileAtomically(file_, doc->dump(2) + "\n");
  }

  std::filesystem::path file_;
  std::mutex mutex_;  // the run loop and its worker threads may both ask
};

}  // namespace

std::unique_ptr<UserDefaults> makeJsonUserDefaults(std::filesystem::path file) {
  return std::make_unique<JsonUserDefaults>(std::move(file));
}

}  // namespace brimvale::platform
