// Tests only: a throw-away home folder for one scenario, with the paths of
// Brimvale's state in it and a way to write the service's configuration.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "common/state/paths.h"
#include "testing/base/temp_folder.h"

namespace brimvale::testing {

// Whether the home starts with ~/.brimvale/state or without it (as a new
// user's does, for scenarios that check the programs create it).
enum class StateFolder { kAbsent, kCreated };

class TempHome {
 public:
  explicit TempHome(StateFolder state = StateFolder::kAbsent,
                    const std::string& prefix = "brimvale-home")
      : folder_(prefix), paths_(StatePaths::forHome(folder_.path())) {
    if (state == StateFolder::kCreated) std::filesystem::create_directories(paths_.state);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return folder_.path(); }
  [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& rel) const {
    return folder_ / rel;
  }
  [[nodiscard]] const StatePaths& paths() const { return paths_; }
  [[nodiscard]] const std::filesystem::path& state() const { return paths_.state; }
  [[nodiscard]] const TempFolder& folder() const { return folder_; }

  // Writes the service's configuration (~/.brimvale/brim-vale.conf),
  // creating its folder.
  void writeConfig(const std::string& text) const {
    std::filesystem::create_directories(paths_.config.parent_path());
    std::ofstream(paths_.config) << text;
  }

 private:
  TempFolder folder_;
  StatePaths paths_;
};

}  // namespace brimvale::testing
