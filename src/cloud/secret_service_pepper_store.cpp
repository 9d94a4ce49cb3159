#include "cloud/secret_service_pepper_store.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <string>

#include "cloud/vault_crypto.h"

namespace brimvale::cloud {
namespace {

const SecretSchema kSchema = {
    "org.brimvale.VaultPepper",
    SECRET_SCHEMA_NONE,
    {{"folder", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}};

std::string takeMessage(GError* error) {
  std::string text = error && error->message ? error->message : "unknown error";
  if (error) g_error_free(error);
  return "secret service: " + text;
}

// One lookup: the stored text, nothing when none is stored, or the error.
Result<std::optional<std::string>> lookup(const std::string& folder) {
  GError* error = nullptr;
  gchar* found =
      secret_password_lookup_sync(&kSchema, nullptr, &error, "folder", folder.c_str(), nullptr);
  if (error) return fail(Errc::kUnavailable, takeMessage(error));
  if (!found) return std::nullopt;
  std::string text(found);
  secret_password_free(found);
  return text;
}

class SecretServicePepperStore final : public PepperStore {
 public:
  explicit SecretServicePepperStore(std::filesystem::path secretsDir)
      : folder_(secretsDir.string()), file_(makeFilePepperStore(std::move(secretsDir))) {}

  Result<std::optional<std::string>> load() override {
    auto stored = lookup(folder_);
    if (!stored) return std::unexpected(stored.error());
    if (*stored) {
      auto pepper = base64Decode(**stored);
      if (!pepper || pepper->size() != kPepperBytes) {
        return fail(Errc::kParse, "secret service: the kept pepper has the wrong form");
      }
      return *pepper;
    }
    auto fromFile = file_->load();
    if (!fromFile || !*fromFile) return fromFile;
    adopt(**fromFile);
    return fromFile;
  }

  Result<void> keep(std::string_view pepper) override {
    GError* error = nullptr;
    std::string encoded = base64Encode(pepper);
    gboolean stored = secret_password_store_sync(
        &kSchema, SECRET_COLLECTION_DEFAULT, "Brimvale credential vault key material",
        encoded.c_str(), nullptr, &error, "folder", folder_.c_str(), nullptr);
    if (error || !stored) return fail(Errc::kUnavailable, takeMessage(error));
    return {};
  }

 private:
  // Moves a file pepper into the service. Any failure leaves the file, which
  // is still read next time, so the vault stays readable either way.
  void adopt(const std::string& pepper) {
    if (!keep(pepper)) return;
    auto back = lookup(folder_);
    if (!back || !*back || base64Decode(**back) != pepper) return;
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(folder_) / ".pepper", ec);
  }

  std::string folder_;
  std::unique_ptr<PepperStore> file_;
};

}  // namespace

std::unique_ptr<PepperStore> makeSecretServicePepperStore(const std::filesystem::path& secretsDir) {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || !*bus) return nullptr;
  if (!lookup(secretsDir.string())) return nullptr;
  return std::make_unique<SecretServicePepperStore>(secretsDir);
}

}  // namespace brimvale::cloud
