// The two checks every automatic operation makes before it touches an item:
// is a program holding it open, and does it belong to a cloud-synchronised
// tree (where moving or deleting it would move or delete it everywhere)?
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace brimvale::service {

class Guards {
 public:
  Guards(std::filesystem::path home, platform::FileFacts& files)
      : home_(std::move(home)), files_(files) {}

  // The path itself, never its subtree; a check that times out says "not open".
  [[nodiscard]] bool isOpen(const std::string& path) { return files_.isOpen(path); }

  // First match wins: a cloud folder named in the path text; ~/Documents or
  // ~/Desktop (or anything below) while the cloud "Desktop & Documents"
  // feature is on; a resolved path (links followed) inside a cloud tree; a
  // cloud-only placeholder file.
  [[nodiscard]] bool isCloudPath(const std::string& path);

 private:
  // Looked up once per guard: the feature is on when the cloud drive holds a
  // Documents or Desktop folder.
  bool desktopAndDocumentsInCloud();

  std::filesystem::path home_;
  platform::FileFacts& files_;
  std::optional<bool> desktopAndDocuments_;
};

}  // namespace brimvale::service
