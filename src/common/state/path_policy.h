// The one place that decides what a moving or deleting operation may touch:
// inside the home folder (minus protected folders), the drive's working
// folder, the quarantine root and the configured safe folders; never a system
// folder, never one of those roots as a whole, never through a symbolic link
// that leads elsewhere. Every path read from a state file is checked here
// before anything is moved or deleted.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/state/protected_folders.h"

namespace brimvale {

// Why a path was refused; each case has one sentence (PathRefusal::sentence).
enum class PathRefusalReason {
  kNotAbsolute,   // relative, empty or containing ".."
  kSystemFolder,  // "/", /etc, /usr, /System, ... or anything inside them
  kHomeItself,    // the home folder as a whole
  kManagedRoot,   // the working folder, the quarantine root or a safe folder as a whole
  kOutsideRoots,  // none of the allowed roots holds it
  kThroughLink,   // a symbolic link on the way leads somewhere else
  kProtected,     // a protected folder (credentials, live databases, Brimvale's state)
};

struct PathRefusal {
  PathRefusalReason reason = PathRefusalReason::kOutsideRoots;
  std::string path;                          // as given
  std::string resolved;                      // where the links on the way lead (kThroughLink)
  std::optional<DenylistEntry> protectedBy;  // kProtected

  // One complete sentence naming the reason, ending with "Nothing was changed."
  [[nodiscard]] std::string sentence() const;
};

// Which root an allowed path lies in.
enum class PathRoot { kHome, kWorkingFolder, kQuarantine, kSafeFolder, kExtra };

struct AllowedPath {
  std::filesystem::path path;      // lexically normalised, no trailing slash
  std::filesystem::path resolved;  // parent folders resolved, final link not followed
  PathRoot root = PathRoot::kHome;
};

struct PathPolicyRoots {
  std::filesystem::path home;
  std::filesystem::path workingFolder;             // empty: no drive configured
  std::filesystem::path quarantine;                // ~/.brimvale/quarantine
  std::vector<std::filesystem::path> safeFolders;  // APP_CACHE_PATHS; only those inside home count
  std::vector<std::filesystem::path> extraRoots;   // named by the user with an explicit option
};

class PathPolicy {
 public:
  explicit PathPolicy(PathPolicyRoots roots);

  // The roots every Brimvale path check uses for `home`: its quarantine
  // root, plus the working folder and safe folders when given.
  [[nodiscard]] static PathPolicyRoots rootsFor(
      const std::filesystem::path& home, const std::filesystem::path& workingFolder = {},
      std::vector<std::filesystem::path> safeFolders = {});

  // May `path` be moved or deleted? The parent folders are resolved (links
  // followed), the final component is not, so a link itself can be removed
  // without touching what it points to. A path whose text lies inside a root
  // must resolve to the same place inside that root; one that only resolves
  // into a root (an alias from elsewhere) must not cross a link on the way
  // out of it either.
  [[nodiscard]] std::expected<AllowedPath, PathRefusal> check(
      const std::filesystem::path& path) const;
  // The same check for the entries of one folder, named only: the folder is
  // normalised and its links followed once, and each entry's paths are put
  // together in buffers kept from one entry to the next.
  class FolderCheck {
   public:
    explicit FolderCheck(const std::filesystem::path& folder);

   private:
    friend class PathPolicy;
    std::string given_, lexical_, resolved_;
    bool byName_ = false;  // false: the folder is not a normal path below "/"
    std::string entryGiven_, entryLexical_, entryResolved_, scratch_;
  };
  // Nothing when `name` (an entry of the folder; a relative path is checked
  // in full) may be moved or deleted, else the refusal `check` would give.
  [[nodiscard]] std::optional<PathRefusal> refusalOf(FolderCheck& folder,
                                                     std::string_view name) const;

  // `path` is one of the system folders, or inside one (lexically).
  [[nodiscard]] static bool isSystemPath(const std::filesystem::path& path);

  [[nodiscard]] const PathPolicyRoots& roots() const { return roots_; }

 private:
  struct Root {
    PathRoot kind;
    std::filesystem::path lexical;
    std::filesystem::path canonical;
  };
  [[nodiscard]] std::expected<AllowedPath, PathRefusal> checkResolved(
      const std::filesystem::path& given, const std::filesystem::path& lexical,
      const std::filesystem::path& resolved) const;
  // The decision on normal paths as text: the root holding the path, or the
  // refusal's reason; `scratch` is reused for the paths put together on the way.
  struct Verdict {
    const Root* holder = nullptr;
    PathRefusalReason reason = PathRefusalReason::kOutsideRoots;
    std::optional<DenylistEntry> protectedBy;
  };
  [[nodiscard]] Verdict decide(std::string_view lexical, std::string_view resolved,
                               std::string& scratch) const;
  PathPolicyRoots roots_;
  std::vector<Root> ordered_;  // most specific kinds first, home last
  AppDataDenylist denylist_;
};

// `path` made absolute against nothing: trailing slashes dropped and "."
// removed; nothing when it is relative, empty or holds "..".
[[nodiscard]] std::optional<std::filesystem::path> normalisedAbsolute(const std::string& path);

// `inner` lies strictly inside `outer` (both normalised).
[[nodiscard]] bool isStrictlyInside(const std::filesystem::path& inner,
                                    const std::filesystem::path& outer);

}  // namespace brimvale
