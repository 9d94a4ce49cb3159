#include "cloud/pair_history.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cloud/kept_aside.h"
#include "cloud/pepper_store.h"
#include "cloud/vault_crypto.h"
#include "common/base/file_io.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool samePair(const PairRecord& r, const std::string& left, const std::string& right,
              PairKind kind) {
  return r.leftPath == left && r.rightPath == right && r.kind == kind;
}

json encodePair(const PairRecord& r) {
  return {{"leftPath", r.leftPath},
          {"rightPath", r.rightPath},
          {"lastUsedAt", isots(r.lastUsedAt)},
          {"isPinned", r.isPinned},
          {"kind", rawNameOf(kPairKindNames, r.kind)}};
}

std::optional<PairRecord> decodePair(const json& j) {
  if (!j.is_object()) return std::nullopt;
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  auto left = text("leftPath");
  auto right = text("rightPath");
  auto used = text("lastUsedAt");
  auto kindText = text("kind");
  if (!left || !right || !used || !kindText) return std::nullopt;
  auto at = parseIsots(*used);
  auto kind = valueOfRaw(kPairKindNames, *kindText);
  if (!at || !kind) return std::nullopt;
  auto pinned = j.find("isPinned");
  return PairRecord{.leftPath = *left,
                    .rightPath = *right,
                    .lastUsedAt = *at,
                    .isPinned = pinned != j.end() && pinned->is_boolean() && pinned->get<bool>(),
                    .kind = *kind};
}

std::vector<PairRecord> decodeList(const json& list) {
  std::vector<PairRecord> pairs;
  if (!list.is_array()) return pairs;
  for (const auto& entry : list) {
    if (auto pair = decodePair(entry)) pairs.push_back(std::move(*pair));
  }
  return pairs;
}

}  // namespace

std::vector<PairRecord> orderedPairs(std::vector<PairRecord> pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), [](const PairRecord& a, const PairRecord& b) {
    if (a.isPinned != b.isPinned) return a.isPinned;
    return a.lastUsedAt > b.lastUsedAt;
  });
  std::size_t unpinned = 0;
  std::erase_if(pairs,
                [&](const PairRecord& r) { return !r.isPinned && ++unpinned > kMaxRecentPairs; });
  return pairs;
}

std::vector<PairRecord> withPairUsed(std::vector<PairRecord> pairs, const std::string& left,
                                     const std::string& right, PairKind kind, std::time_t now) {
  auto it = std::find_if(pairs.begin(), pairs.end(),
                         [&](const PairRecord& r) { return samePair(r, left, right, kind); });
  if (it != pairs.end()) {
    it->lastUsedAt = now;
  } else {
    pairs.push_back({.leftPath = left, .rightPath = right, .lastUsedAt = now, .kind = kind});
  }
  return orderedPairs(std::move(pairs));
}

PairHistoryFiles PairHistoryFiles::inStateFolder(const fs::path& stateDir) {
  return {stateDir / "recent-pairs.enc", stateDir / "recent-pairs.json"};
}

PairHistory::PairHistory(PairHistoryFiles files, MachineFingerprint fingerprint,
                         std::optional<std::string> email, WallClock clock, FileOperations& ops)
    : files_(std::move(files)),
      fingerprint_(std::move(fingerprint)),
      email_(std::move(email)),
      clock_(std::move(clock)),
      ops_(ops) {}

std::expected<std::vector<PairRecord>, MetadataError> PairHistory::load() {
  std::error_code ec;
  if (fs::exists(files_.encrypted, ec)) {
    auto opened = openSealedFile(files_.encrypted, fingerprint_, email_);
    if (!opened) return std::unexpected(opened.error());
    auto list = json::parse(*opened, nullptr, false);
    if (!list.is_array()) return std::unexpected(MetadataError{MetadataErrc::kMalformed});
    return orderedPairs(decodeList(list));
  }
  if (fs::exists(files_.plain, ec)) {
    auto plain = readFile(files_.plain);
    if (!plain)
      return std::unexpected(MetadataError{MetadataErrc::kReadFailed, plain.error().detail});
    return orderedPairs(decodeList(json::parse(*plain, nullptr, false)));
  }
  return std::vector<PairRecord>{};
}

std::expected<std::vector<PairRecord>, MetadataError> PairHistory::loadForChange() {
  auto current = load();
  if (current) return current;
  if (current.error().code != MetadataErrc::kDecryptFailed &&
      current.error().code != MetadataErrc::kMalformed) {
    return current;
  }
  if (auto aside = keepAside(ops_, files_.encrypted, clock_()); !aside) {
    return std::unexpected(MetadataError{
        MetadataErrc::kWriteFailed,
        "setting aside " + files_.encrypted.string() + ": " + aside.error().message()});
  }
  return std::vector<PairRecord>{};
}

std::expected<void, MetadataError> PairHistory::save(const std::vector<PairRecord>& pairs) {
  if (!fingerprint_.identityKnown)
    return std::unexpected(MetadataError{MetadataErrc::kNoFingerprint});
  json list = json::array();
  for (const auto& r : pairs) list.push_back(encodePair(r));
  auto envelope =
      sealEnvelope(metadataKey(fingerprint_.text, email_), list.dump(2), isots(clock_()));
  if (!envelope) return std::unexpected(MetadataError{MetadataErrc::kEncodeFailed});
  const bool hasEmail = email_ && email_->find_first_not_of(" \t\r\n") != std::string::npos;
  envelope->keySource = hasEmail ? "fingerprint+email" : "fingerprint-only";
  if (auto made = ensurePrivateFolder(files_.encrypted.parent_path()); !made) {
    return std::unexpected(MetadataError{MetadataErrc::kWriteFailed, made.error().detail});
  }
  if (auto written = writeFileAtomically(files_.encrypted, encodeEnvelope(*envelope)); !written) {
    return std::unexpected(MetadataError{MetadataErrc::kWriteFailed, written.error().detail});
  }
  // The encrypted file now holds everything the plain one had.
  (void)ops_.remove(files_.plain);
  return {};
}

std::expected<void, MetadataError> PairHistory::recordUse(const std::string& left,
                                                          const std::string& right, PairKind kind) {
  auto pairs = loadForChange();
  if (!pairs) return std::unexpected(pairs.error());
  return save(withPairUsed(std::move(*pairs), left, right, kind, clock_()));
}

}  // namespace brimvale::cloud
