// The discovery walk: finds copies in the working folder's layout folders that
// a link in the home folder leads to, including relocations no record
// describes (the background service's), and says how the walk went.
#pragma once
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mover/relocated_item.h"

namespace brimvale::mover {

// How the last discovery walk went.
struct ScanDiagnostic {
  bool driveMounted = false;
  std::filesystem::path mountPath;
  std::string folderName;  // the working folder looked for, e.g. "BRIM-Test-Mac"
  bool folderExists = false;
  std::vector<std::string> walkedFolders;  // the layout folders present, in layout order
  std::size_t active = 0;                  // copies a link leads to
  std::size_t orphaned = 0;                // copies nothing links to
  bool timedOut = false;
  // Folders of the home folder that could not be looked in for links.
  std::size_t unreadable = 0;
  double seconds = 0;
};

// The diagnostic in one line: why the walk could not run, or "Scanned in
// 0.4s · 2 NVMe dirs walked (Home, Relocated) · 3 active, 1 orphaned", with
// "timed out — re-scan to continue" after it when the budget ran out.
[[nodiscard]] std::string scanDiagnosticText(const ScanDiagnostic& diagnostic);

struct ScanResult {
  // One per copy a link leads to, with a manifest built from the disk (never saved).
  std::vector<RelocatedItem> items;
  ScanDiagnostic diagnostic;
};

struct DiscoveryInputs {
  std::filesystem::path mountPath;
  std::filesystem::path workingFolder;
  std::filesystem::path home;  // where links to the copies are looked for
  // Whether a volume is mounted on the path; the walk needs the drive.
  std::function<bool(const std::filesystem::path&)> isMounted;
  std::chrono::milliseconds budget{10000};
};

// Walks the home folder (links not followed) for links into the copies found
// directly in the layout folders. A folder of per-file links yields its own
// path as the original location. With the drive away (or its working folder
// missing) the links still yield their items, whose copies are then out of
// reach; only the counts need the drive. Stops when the budget runs out: the
// items found so far are kept and the diagnostic says it timed out.
[[nodiscard]] ScanResult discoverRelocations(const DiscoveryInputs& inputs);

}  // namespace brimvale::mover
