#include "cloud/pepper_store.h"

#include <sys/stat.h>

#include <cerrno>

#include "common/base/file_io.h"
#if !defined(__APPLE__)
#include "cloud/secret_service_pepper_store.h"
#endif

namespace brimvale::cloud {
namespace {

class FilePepperStore final : public PepperStore {
 public:
  explicit FilePepperStore(std::filesystem::path secretsDir) : dir_(std::move(secretsDir)) {}

  Result<std::optional<std::string>> load() override {
    std::error_code ec;
    if (!std::filesystem::exists(file(), ec) && !ec) return std::nullopt;
    auto content = readFile(file());
    if (!content) return std::unexpected(content.error());
    if (content->size() != kPepperBytes) {
      return fail(Errc::kParse, file().string() + " holds " + std::to_string(content->size()) +
                                    " bytes instead of " + std::to_string(kPepperBytes));
    }
    return *content;
  }

  Result<void> keep(std::string_view pepper) override {
    if (auto made = ensurePrivateFolder(dir_); !made) return made;
    return writeFileAtomically(file(), pepper, AtomicWriteOptions{.mode = 0600});
  }

 private:
  [[nodiscard]] std::filesystem::path file() const { return dir_ / ".pepper"; }
  std::filesystem::path dir_;
};

}  // namespace

std::unique_ptr<PepperStore> makeFilePepperStore(std::filesystem::path secretsDir) {
  return std::make_unique<FilePepperStore>(std::move(secretsDir));
}

Result<void> ensurePrivateFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return {};
  std::filesystem::create_directories(folder, ec);
  if (ec) return std::unexpected(errnoError("creating " + folder.string(), ec.value()));
  if (::chmod(folder.c_str(), 0700) != 0) {
    return std::unexpected(errnoError("restricting " + folder.string(), errno));
  }
  return {};
}

std::unique_ptr<PepperStore> makeHostPepperStore(std::filesystem::path secretsDir) {
#if !defined(__APPLE__)
  if (auto keyring = makeSecretServicePepperStore(secretsDir)) return keyring;
#endif
  return makeFilePepperStore(std::move(secretsDir));
}

}  // namespace brimvale::cloud
