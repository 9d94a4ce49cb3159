#include "service/core/action_log.h"

#include <charconv>

#include "common/base/best_effort.h"
#include "common/base/disk_usage.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::service {
namespace {

std::string bytesField(const std::optional<std::uint64_t>& bytes) {
  return bytes ? std::to_string(*bytes) : std::string();
}

// The bytes field as a JSON number: digits as written, anything else 0.
std::string bytesJson(const std::string& field) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return "0";
  return std::to_string(value);
}

std::string batchRow(const ActionRow& row) {
  return joinTsv({escapedLineField(row.action), escapedLineField(row.src),
                  escapedLineField(row.dest), bytesField(row.bytes)});
}

std::vector<ActionRow> parseBatch(std::string_view text) {
  std::vector<ActionRow> rows;
  for (std::string_view line : splitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> f = splitTsv(line);
    f.resize(4);
    ActionRow row{unescapedLineField(f[0]), unescapedLineField(f[1]), unescapedLineField(f[2]),
                  std::nullopt};
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(f[3].data(), f[3].data() + f[3].size(), value);
    if (ec == std::errc() && end == f[3].data() + f[3].size()) row.bytes = value;
    rows.push_back(std::move(row));
  }
  return rows;
}

// Runs `change` holding the batch lock; waits while another process holds it,
// which it does only for one read and write of the file.
Result<void> underBatchLock(const StatePaths& paths, const std::function<Result<void>()>& change) {
  auto lock = FileLock::open(paths.lastBatch.parent_path() / "last-batch.lock");
  if (!lock) return std::unexpected(lock.error());
  if (auto taken = lock->lock(); !taken) return taken;
  return change();
}

}  // namespace

Result<void> recordAction(const StatePaths& paths, std::time_t now, const ActionRow& row) {
  if (auto undo = recordUndo(paths, row); !undo) return undo;
  recordDone(paths, now, row);
  return {};
}

Result<void> recordUndo(const StatePaths& paths, const ActionRow& row) {
  return underBatchLock(paths, [&] { return appendToFile(paths.lastBatch, batchRow(row) + "\n"); });
}

void recordDone(const StatePaths& paths, std::time_t now, const ActionRow& row) {
  bestEffort(appendToFile(paths.actions, ts(now) + "\t" + batchRow(row) + "\n"),
             DiagnosticsLog(paths.diagnosticsLog), "appending to the action log");
}

Result<void> withdrawUndo(const StatePaths& paths, const ActionRow& row) {
  return underBatchLock(paths, [&]() -> Result<void> {
    auto text = readFile(paths.lastBatch);
    if (!text) return std::unexpected(text.error());
    const std::string line = batchRow(row) + "\n";
    const std::size_t at = text->rfind(line);
    if (at == std::string::npos || (at > 0 && (*text)[at - 1] != '\n')) return {};
    text->erase(at, line.size());
    return writeFileAtomically(paths.lastBatch, *text);
  });
}

Result<void> newBatch(const StatePaths& paths) {
  return underBatchLock(paths, [&] { return writeFileAtomically(paths.lastBatch, ""); });
}

Result<void> editLastBatch(const StatePaths& paths,
                           const std::function<void(std::vector<ActionRow>&)>& edit) {
  return underBatchLock(paths, [&]() -> Result<void> {
    auto text = readFile(paths.lastBatch);
    if (!text && text.error().code != Errc::kNotFound) return std::unexpected(text.error());
    std::vector<ActionRow> rows = text ? parseBatch(*text) : std::vector<ActionRow>();
    const std::vector<ActionRow> before = rows;
    edit(rows);
    if (rows == before) return {};
    std::string out;
    for (const auto& row : rows) out += batchRow(row) + "\n";
    return writeFileAtomically(paths.lastBatch, out);
  });
}

std::string renderActionsJson(const std::vector<std::string>& rows) {
  if (rows.empty()) return "[]\n";
  std::string out = "[\n";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::string> f = splitTsv(rows[i]);
    f.resize(5);
    out += JsonObjectWriter()
               .string("ts", f[0])
               .string("action", f[1])
               .string("src", unescapedLineField(f[2]))
               .string("dest", unescapedLineField(f[3]))
               .raw("bytes", bytesJson(f[4]))
               .str();
    out += i + 1 < rows.size() ? ",\n" : "\n";
  }
  out += "]\n";
  return out;
}

std::vector<ActionRow> readLastBatch(const StatePaths& paths) {
  auto text = readFile(paths.lastBatch);
  return text ? parseBatch(*text) : std::vector<ActionRow>();
}

std::optional<std::uint64_t> bytesOf(const std::string& path) { return diskUsageBytes(path); }

}  // namespace brimvale::service
