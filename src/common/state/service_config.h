// The service's typed view of `brim-vale.conf`: every known key with its
// service default, the resolved drive and working folder, and the loader
// that every configuration-reading subcommand runs first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/platform_words.h"
#include "common/state/config_file.h"
#include "common/state/config_keys.h"
#include "common/state/paths.h"

namespace brimvale {

// One key the service understands. Keys not in configKeys() are ignored.
struct ConfigKey {
  std::string_view name;
  std::string_view serviceDefault;  // applies when the key is missing or empty
  bool isArray = false;
};

// Every known key, with its service default.
// `BASE` has no default here: it is derived (see loadServiceConfig).
[[nodiscard]] std::span<const ConfigKey> configKeys();

class ServiceConfig {
 public:
  // Builds the view over parsed values. Resolves the drive and working folder:
  // NVMe falls back to the platform's default drive (/Volumes/NVMe on a Mac,
  // none on Linux) and loses trailing slashes; without a drive both nvme()
  // and base() are empty. Otherwise a
  // configured BASE is kept only when it is an absolute path to an existing
  // folder holding the marker file, otherwise it becomes
  // {NVMe}/{workingFolderName}. Reads the file system for BASE.
  [[nodiscard]] static ServiceConfig fromValues(ConfigValues values,
                                                std::string_view workingFolderName);

  // The configured value, or the service default when the key is missing or
  // empty; empty for unknown keys. An array read here gives its first element,
  // as a shell would.
  [[nodiscard]] std::string get(std::string_view key) const;
  // get() as a decimal integer (optional leading '-'); a value that is not one
  // gives the default's value, and 0 when the default is not a number either.
  [[nodiscard]] std::int64_t getInt(std::string_view key) const;
  // get() == "1".
  [[nodiscard]] bool flag(std::string_view key) const;
  // The non-empty elements; a scalar read here gives get() as its only
  // element (none when empty), as a shell would.
  [[nodiscard]] std::vector<std::string> array(std::string_view key) const;

  [[nodiscard]] const std::filesystem::path& nvme() const { return nvme_; }
  [[nodiscard]] const std::filesystem::path& base() const { return base_; }
  // Whether a drive is configured (or assumed by default) at all.
  [[nodiscard]] bool hasDrive() const { return !nvme_.empty(); }
  [[nodiscard]] std::vector<std::string> rules() const { return array(config_keys::kRules); }
  [[nodiscard]] std::size_t ruleCount() const { return rules().size(); }

 private:
  ServiceConfig() = default;

  ConfigValues values_;  // known keys only
  std::filesystem::path nvme_;
  std::filesystem::path base_;
};

// Reads and parses paths.config fresh (nothing is kept between loads).
// A missing file gives Errc::kNotFound: the caller prints
// configNotFoundMessage() and exits with status 1. Other read failures keep
// their own error. `$HOME` in values expands to paths.home.
[[nodiscard]] Result<ServiceConfig> loadServiceConfig(const StatePaths& paths,
                                                      std::string_view workingFolderName);

// "ERROR: config not found at {path}. " and the platform's sentence on how
// to install ("Run install-service.sh." on macOS).
[[nodiscard]] std::string configNotFoundMessage(const std::filesystem::path& configPath,
                                                const PlatformWords& words = kHostWords);

// What every command that needs the drive says, instead of acting, while no
// drive is chosen.
[[nodiscard]] std::string_view noDriveChosenMessage();

// The file a fresh installation writes, newline-terminated.
[[nodiscard]] std::string configTemplate();

}  // namespace brimvale
