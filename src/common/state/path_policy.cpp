#include "common/state/path_policy.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/base/file_calls.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 17> kSystemFolders{
    "/etc",          "/usr",     "/var", "/bin",  "/sbin", "/boot", "/opt",  "/System", "/Library",
    "/Applications", "/private", "/dev", "/proc", "/sys",  "/run",  "/snap", "/srv"};

// The parent folders resolved, the last component as it is.
fs::path resolveParents(const fs::path& path) {
  if (path == path.root_path()) return path;
  const fs::path parent = weaklyCanonical(path.parent_path()).value_or(path.parent_path());
  return parent / path.filename();
}

fs::path canonicalOr(const fs::path& path) {
  const auto c = weaklyCanonical(path);
  if (!c) return path;
  std::string text = c->string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool inside(const fs::path& inner, const fs::path& outer) { return isStrictlyInside(inner, outer); }

}  // namespace

namespace {

// Already normal: absolute, and no empty, "." or ".." component (so no
// doubled or trailing slash either). Most paths are, and need no rebuilding.
bool plainAbsolute(std::string_view path) {
  if (path.size() < 2 || path.front() != '/') return false;
  for (std::size_t start = 1; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// `base` / `rel` as text, as fs::path would join them.
std::string joined(const fs::path& base, std::string_view rel) {
  std::string out = base.native();
  if (out.empty() || out.back() != '/') out += '/';
  out += rel;
  return out;
}

// What follows `outer` in a path strictly inside it.
std::string_view below(const fs::path& inner, const fs::path& outer) {
  const std::string& o = outer.native();
  return std::string_view(inner.native()).substr(o.size() + (o.back() == '/' ? 0 : 1));
}

}  // namespace

std::optional<fs::path> normalisedAbsolute(const std::string& path) {
  if (plainAbsolute(path)) return fs::path(path);
  if (path.empty() || path.front() != '/') return std::nullopt;
  for (const auto& part : fs::path(path)) {
    if (part == "..") return std::nullopt;
  }
  std::string text = fs::path(path).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return fs::path(text);
}

bool isStrictlyInside(const fs::path& inner, const fs::path& outer) {
  const std::string_view i = inner.native(), o = outer.native();
  if (o.empty()) return false;
  if (o.back() == '/') return i.size() > o.size() && i.starts_with(o);
  return i.size() > o.size() + 1 && i.starts_with(o) && i[o.size()] == '/';
}

bool PathPolicy::isSystemPath(const fs::path& path) {
  if (path == "/") return true;
  const std::string& text = path.native();
  for (std::string_view folder : kSystemFolders) {
    if (text == folder ||
        (text.starts_with(folder) && text.size() > folder.size() && text[folder.size()] == '/')) {
      return true;
    }
  }
  return text.starts_with("/lib");  // /lib, /lib64, /libx32 and what lies inside them
}

PathPolicyRoots PathPolicy::rootsFor(const fs::path& home, const fs::path& workingFolder,
                                     std::vector<fs::path> safeFolders) {
  PathPolicyRoots roots;
  roots.home = home;
  roots.workingFolder = workingFolder;
  roots.quarantine = home / ".brimvale" / "quarantine";
  roots.safeFolders = std::move(safeFolders);
  return roots;
}

PathPolicy::PathPolicy(PathPolicyRoots roots) : roots_(std::move(roots)), denylist_(roots_.home) {
  const auto home = normalisedAbsolute(roots_.home.string());
  const bool homeUsable = home && *home != "/" &&
                          std::find(kSystemFolders.begin(), kSystemFolders.end(), home->native()) ==
                              kSystemFolders.end();
  const fs::path homeCanonical = homeUsable ? canonicalOr(*home) : fs::path();
  if (homeUsable) denylist_ = AppDataDenylist(*home);
  // A root inside the home folder counts only when no link on the way leads
  // elsewhere: a safe folder that is a link to /etc must not make /etc fair game.
  auto addInsideHome = [&](PathRoot kind, const fs::path& raw) {
    auto lexical = normalisedAbsolute(raw.string());
    if (!homeUsable || !lexical || !inside(*lexical, *home)) return;
    const fs::path canonical = canonicalOr(*lexical);
    if (canonical != homeCanonical / lexical->lexically_relative(*home)) return;
    ordered_.push_back({kind, *lexical, canonical});
  };
  auto addStandalone = [&](PathRoot kind, const fs::path& raw) {
    auto lexical = normalisedAbsolute(raw.string());
    if (!lexical || *lexical == "/" || isSystemPath(*lexical)) return;
    // The root itself must not be a link: its resolved place is its parent's
    // resolved place plus its own name.
    const fs::path canonical = canonicalOr(*lexical);
    if (canonical != resolveParents(*lexical) || isSystemPath(canonical)) return;
    if (home && (*lexical == *home || inside(*home, *lexical)))
      return;  // would swallow the home folder
    ordered_.push_back({kind, *lexical, canonical});
  };
  addInsideHome(PathRoot::kQuarantine, roots_.quarantine);
  for (const auto& safe : roots_.safeFolders) addInsideHome(PathRoot::kSafeFolder, safe);
  if (!roots_.workingFolder.empty()) addStandalone(PathRoot::kWorkingFolder, roots_.workingFolder);
  for (const auto& extra : roots_.extraRoots) addStandalone(PathRoot::kExtra, extra);
  if (homeUsable) ordered_.push_back({PathRoot::kHome, *home, homeCanonical});
}

std::expected<AllowedPath, PathRefusal> PathPolicy::check(const fs::path& given) const {
  const auto lexical = normalisedAbsolute(given.string());
  if (!lexical) return checkResolved(given, {}, {});
  return checkResolved(given, *lexical, resolveParents(*lexical));
}

std::expected<AllowedPath, PathRefusal> PathPolicy::check(const fs::path& given,
                                                          ParentCache& parents) const {
  const auto lexical = normalisedAbsolute(given.string());
  if (!lexical || lexical->native() == "/") return check(given);
  // A normal absolute path: its folder and name split as text.
  const std::string& text = lexical->native();
  const std::size_t slash = text.rfind('/');
  const std::string_view parent(text.data(), std::max<std::size_t>(slash, 1));
  if (parent != parents.lexical.native()) {
    parents.lexical = std::string(parent);
    parents.resolved = weaklyCanonical(parents.lexical).value_or(parents.lexical);
  }
  return checkResolved(given, *lexical,
                       joined(parents.resolved, std::string_view(text).substr(slash + 1)));
}

// `lexical` empty: `given` is not a usable absolute path.
std::expected<AllowedPath, PathRefusal> PathPolicy::checkResolved(const fs::path& given,
                                                                  const fs::path& lexical,
                                                                  const fs::path& resolved) const {
  // Built only for a refusal: most paths checked are allowed.
  auto refuse = [&](PathRefusalReason reason, std::optional<DenylistEntry> protectedBy = {}) {
    PathRefusal refusal;
    refusal.path = given.string();
    refusal.resolved = resolved.string();
    refusal.reason = reason;
    refusal.protectedBy = std::move(protectedBy);
    return std::unexpected(std::move(refusal));
  };
  if (lexical.empty()) return refuse(PathRefusalReason::kNotAbsolute);

  for (const auto& root : ordered_) {
    // All normal paths, so equal text is the same path.
    if (lexical.native() == root.lexical.native() || lexical.native() == root.canonical.native() ||
        resolved.native() == root.canonical.native()) {
      return refuse(root.kind == PathRoot::kHome ? PathRefusalReason::kHomeItself
                                                 : PathRefusalReason::kManagedRoot);
    }
  }
  const Root* holder = nullptr;
  for (const auto& root : ordered_) {
    const fs::path* base = inside(lexical, root.lexical)     ? &root.lexical
                           : inside(lexical, root.canonical) ? &root.canonical
                                                             : nullptr;
    if (!base) continue;
    if (resolved.native() != joined(root.canonical, below(lexical, *base))) {
      return refuse(PathRefusalReason::kThroughLink);
    }
    holder = &root;
    break;
  }
  if (!holder) {
    for (const auto& root : ordered_) {
      if (inside(resolved, root.canonical)) return refuse(PathRefusalReason::kThroughLink);
    }
    return refuse(isSystemPath(lexical) || isSystemPath(resolved)
                      ? PathRefusalReason::kSystemFolder
                      : PathRefusalReason::kOutsideRoots);
  }
  if (holder->kind == PathRoot::kHome) {
    const std::string inHome = joined(holder->lexical, below(resolved, holder->canonical));
    if (auto entry = denylist_.verdict(inHome)) return refuse(PathRefusalReason::kProtected, entry);
  }
  return AllowedPath{lexical, resolved, holder->kind};
}

std::string PathRefusal::sentence() const {
  switch (reason) {
    case PathRefusalReason::kNotAbsolute:
      return "\"" + path +
             "\" is not a full path (it must start with / and must not contain \"..\"), so "
             "Brimvale "
             "left it alone. Nothing was changed.";
    case PathRefusalReason::kSystemFolder:
      return path +
             " is a system folder, and Brimvale never moves or deletes system folders. Nothing was "
             "changed.";
    case PathRefusalReason::kHomeItself:
      return path +
             " is your home folder itself; Brimvale works on folders inside it, never on the whole "
             "home folder. Nothing was changed.";
    case PathRefusalReason::kManagedRoot:
      return path +
             " is a folder Brimvale manages as a whole (its drive folder, quarantine or a "
             "configured "
             "cache folder), not something to move or delete. Nothing was changed.";
    case PathRefusalReason::kOutsideRoots:
      return path +
             " lies outside your home folder and Brimvale's drive folder, so Brimvale won't move "
             "or "
             "delete it. Nothing was changed.";
    case PathRefusalReason::kThroughLink:
      return path + " is reached through a symbolic link that leads to " + resolved +
             ", so Brimvale left it alone rather than act on what the link points to. Nothing was "
             "changed.";
    case PathRefusalReason::kProtected:
      return path + " is protected (" +
             (protectedBy ? protectedBy->displayName : std::string("protected folder")) +
             "): " + (protectedBy ? protectedBy->reason : std::string()) + " Nothing was changed.";
  }
  return path + " was refused. Nothing was changed.";
}

}  // namespace brimvale
