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

bool inside(std::string_view inner, std::string_view outer) {
  if (outer.empty()) return false;
  if (outer.back() == '/') return inner.size() > outer.size() && inner.starts_with(outer);
  return inner.size() > outer.size() + 1 && inner.starts_with(outer) && inner[outer.size()] == '/';
}

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

// `base` / `rel` as text into `out`, as fs::path would join them.
const std::string& joinInto(std::string& out, std::string_view base, std::string_view rel) {
  out.assign(base);
  if (out.empty() || out.back() != '/') out += '/';
  out += rel;
  return out;
}

// What follows `outer` in a path strictly inside it.
std::string_view below(std::string_view inner, std::string_view outer) {
  return inner.substr(outer.size() + (outer.back() == '/' ? 0 : 1));
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
  return inside(inner.native(), outer.native());
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
    if (!homeUsable || !lexical || !inside(lexical->native(), home->native())) return;
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
    if (home && (*lexical == *home || inside(home->native(), lexical->native())))
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

PathPolicy::FolderCheck::FolderCheck(const fs::path& folder) : given_(folder.native()) {
  const auto lexical = normalisedAbsolute(given_);
  if (!lexical || lexical->native() == "/") return;
  byName_ = true;
  lexical_ = lexical->native();
  resolved_ = weaklyCanonical(*lexical).value_or(*lexical).native();
}

std::optional<PathRefusal> PathPolicy::refusalOf(FolderCheck& folder, std::string_view name) const {
  const bool plainName =
      !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
  if (!folder.byName_ || !plainName) {
    auto checked = check(fs::path(folder.given_) / name);
    if (checked) return std::nullopt;
    return std::move(checked.error());
  }
  joinInto(folder.entryGiven_, folder.given_, name);
  joinInto(folder.entryLexical_, folder.lexical_, name);
  joinInto(folder.entryResolved_, folder.resolved_, name);
  Verdict verdict = decide(folder.entryLexical_, folder.entryResolved_, folder.scratch_);
  if (verdict.holder) return std::nullopt;
  PathRefusal refusal;
  refusal.path = folder.entryGiven_;
  refusal.resolved = folder.entryResolved_;
  refusal.reason = verdict.reason;
  refusal.protectedBy = std::move(verdict.protectedBy);
  return refusal;
}

PathPolicy::Verdict PathPolicy::decide(std::string_view lexical, std::string_view resolved,
                                       std::string& scratch) const {
  auto refuse = [](PathRefusalReason reason, std::optional<DenylistEntry> protectedBy = {}) {
    return Verdict{nullptr, reason, std::move(protectedBy)};
  };
  for (const auto& root : ordered_) {
    // All normal paths, so equal text is the same path.
    if (lexical == root.lexical.native() || lexical == root.canonical.native() ||
        resolved == root.canonical.native()) {
      return refuse(root.kind == PathRoot::kHome ? PathRefusalReason::kHomeItself
                                                 : PathRefusalReason::kManagedRoot);
    }
  }
  const Root* holder = nullptr;
  for (const auto& root : ordered_) {
    const fs::path* base = inside(lexical, root.lexical.native())     ? &root.lexical
                           : inside(lexical, root.canonical.native()) ? &root.canonical
                                                                      : nullptr;
    if (!base) continue;
    if (resolved != joinInto(scratch, root.canonical.native(), below(lexical, base->native()))) {
      return refuse(PathRefusalReason::kThroughLink);
    }
    holder = &root;
    break;
  }
  if (!holder) {
    for (const auto& root : ordered_) {
      if (inside(resolved, root.canonical.native())) return refuse(PathRefusalReason::kThroughLink);
    }
    return refuse(isSystemPath(fs::path(lexical)) || isSystemPath(fs::path(resolved))
                      ? PathRefusalReason::kSystemFolder
                      : PathRefusalReason::kOutsideRoots);
  }
  if (holder->kind == PathRoot::kHome) {
    joinInto(scratch, holder->lexical.native(), below(resolved, holder->canonical.native()));
    if (auto entry = denylist_.verdict(scratch))
      return refuse(PathRefusalReason::kProtected, entry);
  }
  return Verdict{holder};
}

std::expected<AllowedPath, PathRefusal> PathPolicy::checkResolved(const fs::path& given,
                                                                  const fs::path& lexical,
                                                                  const fs::path& resolved) const {
  auto refuse = [&](PathRefusalReason reason, std::optional<DenylistEntry> protectedBy = {}) {
    PathRefusal refusal;
    refusal.path = given.string();
    refusal.resolved = resolved.string();
    refusal.reason = reason;
    refusal.protectedBy = std::move(protectedBy);
    return std::unexpected(std::move(refusal));
  };
  if (lexical.empty()) return refuse(PathRefusalReason::kNotAbsolute);
  std::string scratch;
  Verdict verdict = decide(lexical.native(), resolved.native(), scratch);
  if (!verdict.holder) return refuse(verdict.reason, std::move(verdict.protectedBy));
  return AllowedPath{lexical, resolved, verdict.holder->kind};
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
