#include "service/relocation/move_dir_record.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

std::optional<std::uint64_t> number(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::optional<MoveDirRecord> decode(const std::string& id, std::string_view text) {
  const KeyValues kv = parseKeyValues(text);
  auto path = [&](std::string_view key) {
    return fs::path(unescapedLineField(findValue(kv, key).value_or("")));
  };
  MoveDirRecord record;
  record.id = id;
  record.src = path("src");
  record.target = path("target");
  record.parked = path("parked");
  const auto device = number(findValue(kv, "device"));
  const auto inode = number(findValue(kv, "inode"));
  const auto phase = phaseFromRaw(findValue(kv, "phase").value_or(""));
  const auto started = parseIsots(findValue(kv, "started").value_or(""));
  if (record.src.empty() || record.target.empty() || !device || !inode || !phase || !started)
    return std::nullopt;
  record.device = *device;
  record.inode = *inode;
  record.bytes = number(findValue(kv, "bytes"));
  record.phase = *phase;
  record.started = *started;
  return record;
}

}  // namespace

std::string_view phaseRaw(MoveDirPhase phase) { return rawNameOf(kMoveDirPhaseNames, phase); }

std::optional<MoveDirPhase> phaseFromRaw(std::string_view raw) {
  return valueOfRaw(kMoveDirPhaseNames, raw);
}

fs::path moveDirRecordFolder(const StatePaths& paths) { return paths.state / "move-dir"; }

fs::path moveDirRecordFile(const StatePaths& paths, const std::string& id) {
  return moveDirRecordFolder(paths) / (id + ".kv");
}

std::string newMoveDirRecordId(std::time_t now) {
  return std::to_string(now) + "-" + std::to_string(::getpid());
}

Result<void> writeMoveDirRecord(const StatePaths& paths, const MoveDirRecord& record,
                                Durability durability) {
  std::error_code ec;
  fs::create_directories(moveDirRecordFolder(paths), ec);
  if (ec)
    return std::unexpected(
        errnoError("creating " + moveDirRecordFolder(paths).string(), ec.value()));
  const KeyValues kv{
      {"src", escapedLineField(record.src.string())},
      {"target", escapedLineField(record.target.string())},
      {"parked", escapedLineField(record.parked.string())},
      {"device", std::to_string(record.device)},
      {"inode", std::to_string(record.inode)},
      {"bytes", record.bytes ? std::to_string(*record.bytes) : std::string()},
      {"phase", std::string(phaseRaw(record.phase))},
      {"started", isots(record.started)},
  };
  return writeFileAtomically(moveDirRecordFile(paths, record.id), renderKeyValues(kv),
                             {.durability = durability});
}

Result<void> removeMoveDirRecord(const StatePaths& paths, const std::string& id) {
  std::error_code ec;
  fs::remove(moveDirRecordFile(paths, id), ec);
  if (ec) return std::unexpected(errnoError("removing the move record", ec.value()));
  return {};
}

std::vector<MoveDirRecord> readMoveDirRecords(const StatePaths& paths) {
  std::vector<MoveDirRecord> records;
  std::error_code ec;
  for (fs::directory_iterator it(moveDirRecordFolder(paths), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() != ".kv") continue;
    auto text = readFile(it->path());
    if (!text) continue;
    if (auto record = decode(it->path().stem().string(), *text))
      records.push_back(std::move(*record));
  }
  std::sort(records.begin(), records.end(), [](const MoveDirRecord& a, const MoveDirRecord& b) {
    return std::pair(a.started, a.id) < std::pair(b.started, b.id);
  });
  return records;
}

std::optional<MoveDirRecord> findMoveDirRecord(const StatePaths& paths, const fs::path& src) {
  for (auto& record : readMoveDirRecords(paths)) {
    if (record.src == src) return std::move(record);
  }
  return std::nullopt;
}

}  // namespace brimvale::service
