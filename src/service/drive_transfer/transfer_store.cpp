#include "service/drive_transfer/transfer_store.h"

#include <algorithm>
#include <charconv>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/json_writer.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

enum class Field { kNumber, kString, kBool };
struct JsonKey {
  std::string_view key;
  Field type;
  std::string_view fallback;  // when the store lacks the key
};
constexpr JsonKey kJsonKeys[] = {
    {transfer_keys::kVersion, Field::kNumber, "0"},
    {transfer_keys::kKind, Field::kString, kTransferKindSwitch},
    {transfer_keys::kPhase, Field::kString, rawNameOf(kTransferPhaseNames, TransferPhase::kIdle)},
    {transfer_keys::kSourceRoot, Field::kString, ""},
    {transfer_keys::kDestRoot, Field::kString, ""},
    {transfer_keys::kStorName, Field::kString, ""},
    {transfer_keys::kSourceWorking, Field::kString, ""},
    {transfer_keys::kDestWorking, Field::kString, ""},
    {transfer_keys::kSourceVolumeUUID, Field::kString, ""},
    {transfer_keys::kDestVolumeUUID, Field::kString, ""},
    {transfer_keys::kBytesDone, Field::kNumber, "0"},
    {transfer_keys::kBytesTotal, Field::kNumber, "0"},
    {transfer_keys::kPercent, Field::kNumber, "0"},
    {transfer_keys::kRate, Field::kString, ""},
    {transfer_keys::kEtaSeconds, Field::kNumber, "0"},
    {transfer_keys::kCurrentFile, Field::kString, ""},
    {transfer_keys::kPid, Field::kNumber, "0"},
    {transfer_keys::kStartedAt, Field::kString, ""},
    {transfer_keys::kUpdatedAt, Field::kString, ""},
    {transfer_keys::kLastError, Field::kString, ""},
    {transfer_keys::kConsent, Field::kBool, "0"},
    {transfer_keys::kResumeCount, Field::kNumber, "0"},
};

std::optional<std::string> firstValue(const KeyValues& pairs, std::string_view key) {
  for (const auto& [k, v] : pairs) {
    if (k == key) return v;
  }
  return std::nullopt;
}

std::uint64_t digitsOrZero(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

// Waits for an exclusive lock on `path` (a file or a folder) and hands it
// over; a path that cannot be opened gives no lock, and the caller goes on
// without it.
FileLock heldLock(const fs::path& path) {
  auto lock = FileLock::open(path);
  if (!lock) return FileLock();
  (void)lock->lock();
  return std::move(*lock);
}

KeyValues readStore(const fs::path& store) {
  auto text = readFile(store);
  return text ? parseKeyValues(*text) : KeyValues{};
}

}  // namespace

TransferFiles TransferFiles::in(const fs::path& stateDir) {
  return {stateDir,
          stateDir / kTransferJobStoreFile,
          stateDir / kTransferJobJsonFile,
          stateDir / "transfer-progress.log",
          stateDir / "transfer-rsync.log",
          stateDir / "transfer.pid",
          stateDir / "transfer-rsync.pid",
          stateDir / "transfer.lock",
          stateDir / "transfer-control.lock",
          stateDir / kTransferSupervisorLockFile};
}

bool TransferStore::exists() const { return pathExists(files_.store).value_or(false); }

std::optional<std::string> TransferStore::get(std::string_view key) const {
  return firstValue(readStore(files_.store), key);
}

std::string TransferStore::phase() const { return get(transfer_keys::kPhase).value_or(""); }

std::optional<TransferPhase> TransferStore::currentPhase() const {
  return transferPhaseOf(phase());
}

namespace {
KeyValues withPhase(TransferPhase next, const KeyValues& more) {
  KeyValues pairs{{transfer_keys::kPhase, rawPhase(next)}};
  pairs.insert(pairs.end(), more.begin(), more.end());
  return pairs;
}
}  // namespace

Result<void> TransferStore::writeLocked(const KeyValues& pairs, bool keepOthers) {
  KeyValues current = keepOthers ? readStore(files_.store) : KeyValues{};
  // A write that would change nothing (a phase confirmed, an error already
  // clear) is skipped: each costs two flushed replacements, and the
  // supervisor makes one just before the copy starts.
  const bool changes = std::any_of(pairs.begin(), pairs.end(), [&current](const auto& p) {
    return firstValue(current, p.first) != p.second;
  });
  if (keepOthers && !changes && pathExists(files_.json).value_or(false)) return {};
  KeyValues next;
  if (keepOthers) {
    for (auto& [k, v] : current) {
      bool replaced =
          std::any_of(pairs.begin(), pairs.end(), [&k](const auto& p) { return p.first == k; });
      if (!replaced) next.emplace_back(std::move(k), std::move(v));
    }
  }
  next.insert(next.end(), pairs.begin(), pairs.end());
  if (auto w = writeFileAtomically(files_.store, renderKeyValues(next)); !w) return w;
  return writeFileAtomically(files_.json, renderTransferJson(next));
}

Result<void> TransferStore::set(const KeyValues& pairs) {
  const FileLock lock = heldLock(files_.state);
  return writeLocked(pairs, true);
}

Result<void> TransferStore::set(TransferPhase next, const KeyValues& more) {
  return set(withPhase(next, more));
}

Result<bool> TransferStore::setIfPhase(std::initializer_list<TransferPhase> phases,
                                       TransferPhase next, const KeyValues& more) {
  return setIfPhase(phases, withPhase(next, more));
}

Result<bool> TransferStore::setIfPhase(std::initializer_list<TransferPhase> phases,
                                       const KeyValues& pairs) {
  const FileLock lock = heldLock(files_.state);
  const auto current = valueOfRaw(kTransferPhaseNames, phase());
  if (!current || std::find(phases.begin(), phases.end(), *current) == phases.end()) return false;
  if (auto w = writeLocked(pairs, true); !w) return std::unexpected(w.error());
  return true;
}

Result<void> TransferStore::reset(const KeyValues& pairs) {
  const FileLock lock = heldLock(files_.state);
  return writeLocked(pairs, false);
}

TransferControl::TransferControl(const TransferFiles& files) : lock_(heldLock(files.control)) {}

bool supervisorAlive(const TransferFiles& files) {
  auto lock = FileLock::open(files.supervisorLock);
  if (!lock) return false;
  auto taken = lock->tryLock();
  return taken && !*taken;
}

std::string renderTransferJson(const KeyValues& store) {
  JsonObjectWriter w(JsonObjectWriter::Style::kPretty);
  for (const JsonKey& k : kJsonKeys) {
    const std::string value = firstValue(store, k.key).value_or(std::string(k.fallback));
    switch (k.type) {
      case Field::kNumber: w.number(k.key, digitsOrZero(value)); break;
      case Field::kString: w.string(k.key, withoutControlBytes(value)); break;
      case Field::kBool: w.boolean(k.key, value == "1"); break;
    }
  }
  return w.str();
}

}  // namespace brimvale::service
