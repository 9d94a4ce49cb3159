#include "cloud/remote_metadata.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cloud/kept_aside.h"
#include "cloud/pepper_store.h"
#include "cloud/vault_crypto.h"
#include "common/base/file_io.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

struct RemoteMetadataStore::Contents {
  std::vector<RemoteMetadataRecord> records;
  // Entries this build could not decode; written back untouched.
  std::vector<json> undecodable;
  // An older plain file that did not decode stays where it is for the user.
  bool keepPlain = false;
};

namespace {

std::string lowerTrimmed(std::string_view s) {
  auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(" \t\r\n");
  std::string out(s.substr(first, last - first + 1));
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool hasEmail(const std::optional<std::string>& email) {
  return email && !lowerTrimmed(*email).empty();
}

json encodeRecord(const RemoteMetadataRecord& r) {
  json j;
  j["remoteName"] = r.remoteName;
  j["displayName"] = r.displayName;
  j["acknowledgedWarnings"] = r.acknowledgedWarnings;
  if (r.lastUsedAt) j["lastUsedAt"] = isots(*r.lastUsedAt);
  j["createdAt"] = isots(r.createdAt);
  if (r.defaultBucket) j["defaultBucket"] = *r.defaultBucket;
  return j;
}

std::optional<std::time_t> dateIn(const json& j, const char* key) {
  if (!j.contains(key) || !j[key].is_string()) return std::nullopt;
  return parseIsots(j[key].get<std::string>());
}

// Unknown keys are ignored and missing optional ones take their defaults;
// a record without a name or creation date is not a record.
std::optional<RemoteMetadataRecord> decodeRecord(const json& j) {
  if (!j.is_object() || !j.contains("remoteName") || !j["remoteName"].is_string()) {
    return std::nullopt;
  }
  auto created = dateIn(j, "createdAt");
  if (!created) return std::nullopt;
  RemoteMetadataRecord r;
  r.remoteName = j["remoteName"].get<std::string>();
  r.displayName = j.value("displayName", r.remoteName);
  if (j.contains("acknowledgedWarnings") && j["acknowledgedWarnings"].is_array()) {
    for (const auto& w : j["acknowledgedWarnings"]) {
      if (w.is_string()) r.acknowledgedWarnings.push_back(w.get<std::string>());
    }
  }
  r.lastUsedAt = dateIn(j, "lastUsedAt");
  r.createdAt = *created;
  if (j.contains("defaultBucket") && j["defaultBucket"].is_string()) {
    r.defaultBucket = j["defaultBucket"].get<std::string>();
  }
  return r;
}

}  // namespace

std::string MetadataError::message() const {
  switch (code) {
    case MetadataErrc::kMalformed: return "Encrypted file envelope is missing or malformed.";
    case MetadataErrc::kNoFingerprint:
      return "Couldn't read this machine's fingerprint \u2014 encryption requires it.";
    case MetadataErrc::kDecryptFailed:
      return "Decryption failed \u2014 most likely the email used to seal this file doesn't "
             "match the current one.";
    case MetadataErrc::kEncodeFailed: return "Couldn't encode the value for encryption.";
    case MetadataErrc::kReadFailed:
      return "Couldn't read the remote details file (" + detail + "). It was left as it is.";
    case MetadataErrc::kWriteFailed:
      return "Couldn't write the remote details file (" + detail +
             "). The previous file is unchanged.";
  }
  return {};
}

MetadataFiles MetadataFiles::inStateFolder(const fs::path& stateDir) {
  return {stateDir / "remote-metadata.enc", stateDir / "remote-metadata.json"};
}

std::string metadataKey(std::string_view fingerprint, const std::optional<std::string>& email) {
  return sha256({kMetadataKeyLabel, fingerprint, hasEmail(email) ? lowerTrimmed(*email) : ""});
}

RemoteMetadataStore::RemoteMetadataStore(MetadataFiles files, MachineFingerprint fingerprint,
                                         std::optional<std::string> email, WallClock clock,
                                         FileOperations& ops)
    : files_(std::move(files)),
      fingerprint_(std::move(fingerprint)),
      email_(std::move(email)),
      clock_(std::move(clock)),
      ops_(ops) {}

std::expected<std::string, MetadataError> openSealedFile(const fs::path& file,
                                                         const MachineFingerprint& fingerprint,
                                                         const std::optional<std::string>& email) {
  auto sealed = readFile(file);
  if (!sealed) {
    return std::unexpected(MetadataError{MetadataErrc::kReadFailed, sealed.error().detail});
  }
  if (!fingerprint.identityKnown) {
    return std::unexpected(MetadataError{MetadataErrc::kNoFingerprint});
  }
  auto opened = openEnvelope(metadataKey(fingerprint.text, email), *sealed);
  if (!opened) {
    return std::unexpected(MetadataError{opened.error().fault == EnvelopeFault::kOpenFailed
                                             ? MetadataErrc::kDecryptFailed
                                             : MetadataErrc::kMalformed});
  }
  return std::move(opened->plaintext);
}

std::expected<RemoteMetadataStore::Contents, MetadataError> RemoteMetadataStore::read() {
  std::error_code ec;
  std::string text;
  if (fs::exists(files_.encrypted, ec)) {
    auto opened = openSealedFile(files_.encrypted, fingerprint_, email_);
    if (!opened) return std::unexpected(opened.error());
    text = std::move(*opened);
  } else if (fs::exists(files_.plain, ec)) {
    auto plain = readFile(files_.plain);
    if (!plain)
      return std::unexpected(MetadataError{MetadataErrc::kReadFailed, plain.error().detail});
    if (!json::accept(*plain)) return Contents{.keepPlain = true};
    text = std::move(*plain);
  } else {
    return Contents{};
  }

  Contents contents;
  auto j = json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("records") || !j["records"].is_array()) {
    return std::unexpected(MetadataError{MetadataErrc::kMalformed});
  }
  for (const auto& entry : j["records"]) {
    if (auto record = decodeRecord(entry)) {
      contents.records.push_back(std::move(*record));
    } else {
      contents.undecodable.push_back(entry);
    }
  }
  return contents;
}

std::expected<std::vector<RemoteMetadataRecord>, MetadataError> RemoteMetadataStore::load() {
  auto contents = read();
  if (!contents) return std::unexpected(contents.error());
  return std::move(contents->records);
}

std::expected<void, MetadataError> RemoteMetadataStore::write(const Contents& contents) {
  if (!fingerprint_.identityKnown)
    return std::unexpected(MetadataError{MetadataErrc::kNoFingerprint});
  json records = json::array();
  for (const auto& r : contents.records) records.push_back(encodeRecord(r));
  for (const auto& raw : contents.undecodable) records.push_back(raw);
  json file{{"version", kRemoteMetadataVersion}, {"records", std::move(records)}};

  auto envelope =
      sealEnvelope(metadataKey(fingerprint_.text, email_), file.dump(2), isots(clock_()));
  if (!envelope) return std::unexpected(MetadataError{MetadataErrc::kEncodeFailed});
  envelope->keySource = hasEmail(email_) ? "fingerprint+email" : "fingerprint-only";

  if (auto made = ensurePrivateFolder(files_.encrypted.parent_path()); !made) {
    return std::unexpected(MetadataError{MetadataErrc::kWriteFailed, made.error().detail});
  }
  if (auto written = writeFileAtomically(files_.encrypted, encodeEnvelope(*envelope)); !written) {
    return std::unexpected(MetadataError{MetadataErrc::kWriteFailed, written.error().detail});
  }
  // Only now is the older plain file redundant. Should its removal fail, the
  // encrypted file still wins on every read.
  if (!contents.keepPlain) (void)ops_.remove(files_.plain);
  return {};
}

std::expected<void, MetadataError> RemoteMetadataStore::setAsideUnreadable() {
  if (auto aside = keepAside(ops_, files_.encrypted, clock_()); !aside) {
    return std::unexpected(MetadataError{
        MetadataErrc::kWriteFailed,
        "setting aside " + files_.encrypted.string() + ": " + aside.error().message()});
  }
  return {};
}

std::expected<void, MetadataError> RemoteMetadataStore::save(
    const std::vector<RemoteMetadataRecord>& records) {
  auto current = read();
  Contents next;
  next.records = records;
  if (current) {
    next.undecodable = std::move(current->undecodable);
    next.keepPlain = current->keepPlain;
  } else if (current.error().code == MetadataErrc::kDecryptFailed ||
             current.error().code == MetadataErrc::kMalformed) {
    if (auto aside = setAsideUnreadable(); !aside) return aside;
  } else {
    return std::unexpected(current.error());
  }
  return write(next);
}

std::expected<RemoteMetadataStore::Saved, MetadataError> RemoteMetadataStore::recordSaved(
    const std::string& remoteName, const std::string& displayName,
    const std::optional<std::string>& defaultBucket) {
  auto current = load();
  std::vector<RemoteMetadataRecord> records;
  if (current) {
    records = std::move(*current);
  } else if (current.error().code != MetadataErrc::kDecryptFailed &&
             current.error().code != MetadataErrc::kMalformed) {
    return std::unexpected(current.error());
  }
  Saved saved;
  auto it = std::find_if(records.begin(), records.end(),
                         [&](const auto& r) { return r.remoteName == remoteName; });
  if (it == records.end()) {
    saved.created = true;
    records.push_back(RemoteMetadataRecord{.remoteName = remoteName, .createdAt = clock_()});
    it = records.end() - 1;
  } else {
    saved.previousBucket = it->defaultBucket;
  }
  it->displayName = displayName;
  it->defaultBucket = defaultBucket;
  if (auto written = save(records); !written) return std::unexpected(written.error());
  return saved;
}

std::expected<bool, MetadataError> RemoteMetadataStore::forget(const std::string& remoteName) {
  auto contents = read();
  if (!contents) return std::unexpected(contents.error());
  if (std::erase_if(contents->records, [&](const auto& r) { return r.remoteName == remoteName; }) ==
      0) {
    return false;
  }
  if (auto written = write(*contents); !written) return std::unexpected(written.error());
  return true;
}

}  // namespace brimvale::cloud
