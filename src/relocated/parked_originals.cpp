#include "relocated/parked_originals.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "common/base/file_calls.h"
#include "common/base/guarded_removal.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/walk_below.h"
#include "common/state/parked_names.h"
#include "common/state/path_policy.h"
#include "mover/safety_checks.h"
#include "mover/verification.h"

namespace brimvale::relocated {
namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kParkLockWait{5};

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const Identity&, const Identity&) = default;
};

std::optional<Identity> identityOf(const fs::path& path, bool followLink) {
  struct stat st {};
  const int rc = followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return std::nullopt;
  return Identity{st.st_dev, st.st_ino};
}

// The folder the link at `relocated` leads to, or why there is none and what
// to do about it. A copy that is the parked folder, lies inside it or holds
// it is no copy: deleting the parked folder would take it along.
struct LinkedCopy {
  fs::path copy;
  std::string missing;  // empty when `copy` is a separate folder
  std::string advice;
};

LinkedCopy linkedCopy(const fs::path& relocated, const fs::path& parked) {
  const auto target = readSymlink(relocated);
  if (!target) {
    const bool vacant = !fs::exists(linkStatus(relocated).value_or(fs::file_status{}));
    return {{},
            relocated.string() + " is no longer a link to the copy",
            vacant ? "To use the folder again, rename it back to " + relocated.string() + "."
                   : "Keep it until you have checked that " + relocated.string() +
                         " holds everything you need."};
  }
  const fs::path copy = (relocated.parent_path() / *target).lexically_normal();
  struct stat st {};
  if (::stat(copy.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return {copy,
            relocated.string() + " leads to " + copy.string() +
                ", which is not a folder that can be reached",
            "Connect the drive and try again."};
  std::error_code copyError, parkedError;
  const fs::path realCopy = fs::weakly_canonical(copy, copyError);
  const fs::path realParked = fs::weakly_canonical(parked, parkedError);
  if (copyError || parkedError || realCopy == realParked ||
      isStrictlyInside(realCopy, realParked) || isStrictlyInside(realParked, realCopy) ||
      identityOf(copy, true) == identityOf(parked, false)) {
    return {copy, relocated.string() + " leads into the parked folder itself",
            "Keep the parked folder: it is the only copy."};
  }
  return {copy, {}, {}};
}

// The first kShownDifferences of `paths`.
std::vector<std::string> shown(std::vector<std::string> paths) {
  if (paths.size() > kShownDifferences) paths.resize(kShownDifferences);
  return paths;
}

// "a, b (+3 more)".
std::string differingText(const std::vector<std::string>& paths, std::size_t count) {
  std::string text;
  for (const auto& p : paths) text += (text.empty() ? "" : ", ") + (p.empty() ? "." : p);
  if (count > paths.size()) text += " (+" + std::to_string(count - paths.size()) + " more)";
  return text;
}

// The quick comparison's differences that mean the copy lacks something:
// extras in the copy never count; a folder's date changes whenever something
// inside it is added or removed, so it never counts either; and a file whose
// only difference is its date counts only when its content differs too.
std::vector<std::string> quickDifferences(const fs::path& parked, const fs::path& copy,
                                          std::vector<mover::Difference> found) {
  std::vector<std::string> paths;
  for (const auto& d :
       mover::countedDifferences(std::move(found), mover::MoveConflictPolicy::kMerge)) {
    const fs::path mine = d.path.empty() ? parked : parked / d.path;
    if (d.reason.kind == mover::DiffReason::Kind::kMtime) {
      if (fs::is_directory(linkStatus(mine).value_or(fs::file_status{}))) continue;
      const auto a = mover::sha256File(mine);
      if (a && a == mover::sha256File(copy / d.path)) continue;
    }
    paths.push_back(d.path);
  }
  return paths;
}

ConfirmOutcome refused(ConfirmOutcome o, ConfirmResult result, std::string detail = {}) {
  o.result = result;
  o.detail = std::move(detail);
  return o;
}

}  // namespace

std::string_view parkedStateRaw(ParkedState state) { return rawNameOf(kParkedStateNames, state); }

std::string_view confirmResultRaw(ConfirmResult result) {
  return rawNameOf(kConfirmResultNames, result);
}

ParkedOriginal inspectParked(const fs::path& parked) {
  ParkedOriginal p{.parked = parked, .relocated = relocatedPathOf(parked).value_or(fs::path())};
  if (!fs::is_directory(linkStatus(parked).value_or(fs::file_status{}))) {
    p.state = ParkedState::kNotAFolder;
    return p;
  }
  const LinkedCopy linked = p.relocated.empty() ? LinkedCopy{{}, "no path belongs to this name"}
                                                : linkedCopy(p.relocated, parked);
  if (!linked.missing.empty()) {
    p.state = ParkedState::kNoCopy;
    p.detail = linked.missing + (linked.advice.empty() ? "" : ". " + linked.advice);
    const auto kib = mover::apparentSizeKB(parked);
    if (kib) p.bytes = static_cast<std::uint64_t>(*kib) * 1024;
    return p;
  }
  p.copy = linked.copy;
  auto compared = mover::quickCompareTrees(parked, p.copy);
  if (!compared) {
    p.state = ParkedState::kUnreadable;
    p.detail = compared.error().message();
    return p;
  }
  p.bytes = compared->srcBytes;
  std::vector<std::string> differing = quickDifferences(parked, p.copy, compared->differences);
  p.differingCount = differing.size();
  p.differing = shown(std::move(differing));
  p.state = p.differingCount == 0 ? ParkedState::kMatches : ParkedState::kDiffers;
  return p;
}

std::vector<ParkedOriginal> listParked(const fs::path& home) {
  std::vector<ParkedOriginal> list;
  for (const fs::path& parked : findParkedOriginals(home)) list.push_back(inspectParked(parked));
  return list;
}

ConfirmOutcome confirmParked(const ConfirmRequest& request, FileOperations& files) {
  ConfirmOutcome o;
  std::string text = request.path;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  std::error_code ec;
  o.parked = fs::absolute(text, ec).lexically_normal();
  const auto relocated = relocatedPathOf(o.parked);
  if (!relocated) return refused(o, ConfirmResult::kNotParkedName);
  o.relocated = *relocated;

  const auto allowed = PathPolicy(PathPolicy::rootsFor(request.home)).check(o.parked);
  if (!allowed) return refused(o, ConfirmResult::kOutsideHome, allowed.error().sentence());
  if (allowed->root != PathRoot::kHome) return refused(o, ConfirmResult::kOutsideHome);
  const fs::path parked = allowed->resolved;

  mover::RelocatorLock lock(request.stateDir);
  if (auto locked = lock.acquire(kParkLockWait); !locked)
    return refused(o, ConfirmResult::kBusy, locked.error().detail);

  struct stat st {};
  if (::lstat(parked.c_str(), &st) != 0) return refused(o, ConfirmResult::kNothingThere);
  if (!S_ISDIR(st.st_mode)) return refused(o, ConfirmResult::kNotAFolder);
  const Identity verified{st.st_dev, st.st_ino};

  const LinkedCopy linked = linkedCopy(parked.parent_path() / o.relocated.filename(), parked);
  o.copy = linked.copy;
  if (!linked.missing.empty()) {
    o.advice = linked.advice;
    return refused(o, ConfirmResult::kNoCopy, linked.missing);
  }

  const auto compareStarted = std::chrono::system_clock::now();
  mover::CounterpartCheck check =
      mover::compareCounterparts(parked, o.copy, mover::MoveConflictPolicy::kMerge, {}, {});
  if (!check.srcDigest)
    return refused(o, ConfirmResult::kUnreadable, "the parked original could not be read whole");
  if (!check.dstDigest)
    return refused(o, ConfirmResult::kUnreadable, "the copy could not be read whole");
  if (!check.differing.empty()) {
    o.differingCount = check.differing.size();
    o.differing = shown(std::move(check.differing));
    return refused(o, ConfirmResult::kDiffers);
  }
  stopPoint("parked:verified");

  // What is deleted must be the folder that was compared, not one put in its place since.
  if (identityOf(parked, false) != verified) return refused(o, ConfirmResult::kChanged);
  // Entry by entry, each only if it is still what was compared with its copy:
  // anything written since stays, with the folders that hold it.
  const GuardedRemoval removal =
      removeVerifiedTree(parked, o.copy, ReplaceGuard({.copyStarted = compareStarted}), files);
  if (!removal.changed.empty() || !removal.unmatched.empty()) {
    std::vector<std::string> kept = removal.changed;
    kept.insert(kept.end(), removal.unmatched.begin(), removal.unmatched.end());
    o.differingCount = kept.size();
    o.differing = shown(std::move(kept));
    return refused(o, ConfirmResult::kChanged);
  }
  if (!removal.failed.empty())
    return refused(o, ConfirmResult::kDeleteFailed, removal.failed.front());
  // Written into after the removal walked past: what is there now stays.
  if (fs::exists(fs::symlink_status(parked, ec))) {
    std::vector<std::string> left;
    // Only named to the user, who is told the original was kept either way.
    (void)walkBelow(parked, {}, [&](const WalkEntry& e) {
      if (e.type != DT_DIR) left.push_back(e.path.lexically_relative(parked).string());
      return WalkStep::kContinue;
    });
    if (left.empty()) left.push_back(parked.filename().string());
    std::sort(left.begin(), left.end());
    o.differingCount = left.size();
    o.differing = shown(std::move(left));
    return refused(o, ConfirmResult::kChanged);
  }
  o.result = ConfirmResult::kDeleted;
  return o;
}

std::string confirmSentence(const ConfirmOutcome& o) {
  const std::string parked = o.parked.string();
  const std::string again = "brimvale parked confirm " + shellQuoted(parked);
  const std::string kept =
      " The parked original was kept and nothing was deleted; your data is safe.";
  switch (o.result) {
    case ConfirmResult::kDeleted:
      return "Deleted the parked original " + parked + ". Your folder lives on at " +
             o.copy.string() + ", and " + o.relocated.string() + " still leads there.";
    case ConfirmResult::kNotParkedName:
      return parked + " is not a parked original (its name does not end in " +
             std::string(kParkedSuffix) +
             "), so nothing was deleted. Run `brimvale parked` to see the parked originals.";
    case ConfirmResult::kOutsideHome:
      return (o.detail.empty() ? parked + " is not inside your home folder. Nothing was changed."
                               : o.detail) +
             " Only parked originals inside your home folder can be confirmed.";
    case ConfirmResult::kNothingThere:
      return "There is no parked original at " + parked +
             " (it may have been confirmed already), so nothing was deleted. Run `brimvale "
             "parked` to see the ones that remain.";
    case ConfirmResult::kNotAFolder:
      return parked +
             " is a link or a file, not a parked folder, so Brimvale left it alone; nothing was "
             "deleted and your data is safe. Look at it yourself before removing it.";
    case ConfirmResult::kNoCopy:
      return "There is no copy to check the parked original at " + parked +
             " against: " + o.detail + "." + kept + " " + o.advice;
    case ConfirmResult::kDiffers:
      return "The copy at " + o.copy.string() + " does not match the parked original at " + parked +
             ": " + std::to_string(o.differingCount) + " item(s) differ (" +
             differingText(o.differing, o.differingCount) + ")." + kept +
             " Compare those items in both folders and keep the parked one until the copy has "
             "everything you need.";
    case ConfirmResult::kUnreadable:
      return "Brimvale could not compare the copy at " + o.copy.string() + " with " + parked +
             ": " + o.detail + "." + kept +
             " Check that the drive is connected and the files are readable, then try again.";
    case ConfirmResult::kChanged:
      return parked + " changed while it was being compared or deleted" +
             (o.differing.empty() ? std::string(", so nothing was deleted")
                                  : ", so " + std::to_string(o.differingCount) +
                                        " item(s) that no longer match their copy were kept (" +
                                        differingText(o.differing, o.differingCount) +
                                        ") and only what matched its copy was deleted") +
             "; your data is safe. Run `" + again + "` again.";
    case ConfirmResult::kBusy:
      return "Another move or confirmation is running (" + o.detail +
             "), so nothing was deleted; your data is safe. Try again when it has finished.";
    case ConfirmResult::kDeleteFailed:
      return "Brimvale could not finish deleting the parked original at " + parked + " (" +
             o.detail + "). The copy at " + o.copy.string() +
             " was verified first, so your data is safe; run `" + again +
             "` again to delete the rest.";
  }
  return {};
}

}  // namespace brimvale::relocated
