#include "app/core/service_view.h"
#include "common/base/text_formats.h"

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/base/timestamps.h"
#include "mover/drive_switch.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {
using nlohmann::json;

constexpr std::int64_t kBytesPerMiB = 1024 * 1024;
constexpr std::size_t kServiceBarWidth = 20;

std::string textOf(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t numberOf(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<std::int64_t>() : 0;
}

Result<json> parsed(std::string_view text, std::string_view what) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    return fail(Errc::kParse, "the service's " + std::string(what) + " is not JSON");
  }
  return doc;
}

// A service message as a sentence: capitalised as given, with a closing full stop.
std::string sentence(std::string text) {
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

std::string bar(std::int64_t bytes, std::int64_t largest, bool terminal) {
  const auto filled =
      largest > 0
          ? static_cast<std::size_t>(
                (bytes * static_cast<std::int64_t>(kServiceBarWidth) + largest - 1) / largest)
          : 0;
  std::string drawn;
  for (std::size_t i = 0; i < kServiceBarWidth; ++i) {
    drawn += i < filled ? (terminal ? "\u2588" : "#") : (terminal ? "\u2591" : ".");
  }
  return drawn;
}

}  // namespace

std::string transferPhaseWords(std::optional<TransferPhase> phase, bool backup) {
  if (!phase) return "Working…";
  switch (*phase) {
    case TransferPhase::kIdle: return "Getting ready…";
    case TransferPhase::kCopying: return backup ? "Backing up…" : "Copying to the new drive…";
    case TransferPhase::kVerifying: return "Checking the copy…";
    case TransferPhase::kCopied: return "Copy verified — switching over…";
    case TransferPhase::kSwitching: return "Switching to the new drive…";
    case TransferPhase::kFailed: return "Couldn't finish";
    case TransferPhase::kPaused: return "Paused";
    case TransferPhase::kWaitingForDrive: return "Waiting for the drive…";
    case TransferPhase::kCancelling:
    case TransferPhase::kDone: break;
  }
  return "Working…";
}

Result<std::vector<ListedDrive>> decodeDriveList(std::string_view text) {
  auto doc = parsed(text, "drive list");
  if (!doc) return std::unexpected(doc.error());
  if (!doc->is_array()) return fail(Errc::kParse, "the service's drive list is not a list");
  std::vector<ListedDrive> drives;
  for (const auto& volume : *doc) {
    if (!volume.is_object()) return fail(Errc::kParse, "the service's drive list has a non-object");
    drives.push_back({.name = textOf(volume, "name"),
                      .path = textOf(volume, "path"),
                      .filesystem = textOf(volume, "filesystem"),
                      .freeBytes = numberOf(volume, "free_mb") * kBytesPerMiB,
                      .totalBytes = numberOf(volume, "total_mb") * kBytesPerMiB});
  }
  return drives;
}

Result<std::string> assessmentVerdict(std::string_view text) {
  auto doc = parsed(text, "assessment");
  if (!doc) return std::unexpected(doc.error());
  const std::string verdict = doc->is_object() ? textOf(*doc, "verdict") : "";
  if (verdict.empty()) return fail(Errc::kParse, "the service's assessment has no verdict");
  return verdict;
}

std::string renderDriveTable(const std::vector<ListedDrive>& drives,
                             const std::vector<std::string>& verdicts) {
  if (drives.empty()) return "No drives are connected that could be used.\n";
  std::vector<std::vector<std::string>> rows{
      {"MOUNT PATH", "NAME", "FILE SYSTEM", "SIZE", "FREE", "VERDICT"}};
  for (std::size_t i = 0; i < drives.size(); ++i) {
    const auto& d = drives[i];
    rows.push_back({d.path, d.name, d.filesystem.empty() ? "-" : d.filesystem,
                    platform::formatFileByteCount(d.totalBytes),
                    platform::formatFileByteCount(d.freeBytes),
                    i < verdicts.size() ? verdicts[i] : "-"});
  }
  return alignedColumns(rows);
}

Result<std::string> renderAssessment(std::string_view path, std::string_view text) {
  auto verdict = assessmentVerdict(text);
  if (!verdict) return std::unexpected(verdict.error());
  const json doc = json::parse(text);  // assessmentVerdict has parsed it already
  const std::string where = "The drive at " + std::string(path);
  std::string out;
  if (*verdict == "ok") {
    out = where + " can be used.\n";
  } else if (*verdict == "warn") {
    out = where + " can be used, but mind the following:\n";
  } else {
    out = where + " can't be used:\n";
  }
  for (const char* key : {"reasons", "warnings"}) {
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_array()) continue;
    for (const auto& line : *it) {
      if (line.is_string()) out += "  " + sentence(line.get<std::string>()) + "\n";
    }
  }
  const std::string fs = textOf(doc, "filesystem");
  if (!fs.empty()) out += "  Its file system is " + fs + ".\n";
  return out;
}

Result<std::string> renderStorageScan(std::string_view ndjson, bool terminal, ListingOrder order,
                                      const ChangeTimeOf& changedAt) {
  struct Row {
    std::string label;
    std::string path;
    std::int64_t bytes;
    std::optional<std::time_t> changed;
  };
  std::vector<Row> rows;
  std::string excluded;
  std::istringstream lines{std::string(ndjson)};
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    auto doc = parsed(line, "storage scan");
    if (!doc) return std::unexpected(doc.error());
    if (doc->contains("path")) {
      rows.push_back({textOf(*doc, "label"), textOf(*doc, "path"), numberOf(*doc, "size_bytes"),
                      std::nullopt});
    } else if (doc->contains("excluded_path")) {
      excluded += "Not measured, in your excludes: " + textOf(*doc, "label") + " (" +
                  textOf(*doc, "excluded_path") + ")\n";
    }
  }
  if (rows.empty()) return "None of the usual space users were found.\n" + excluded;
  const bool byAge = order == ListingOrder::kAge && changedAt;
  if (byAge) {
    for (Row& r : rows) r.changed = changedAt(r.path);
  }
  sortListing(
      rows, order, [](const Row& r) { return r.bytes; }, [](const Row& r) { return r.changed; },
      [](const Row& r) { return r.label; });
  std::int64_t largest = 0;
  for (const auto& r : rows) largest = std::max(largest, r.bytes);
  std::vector<std::vector<std::string>> cells{{"SIZE", "", "WHAT", "WHERE"}};
  if (byAge) cells[0].insert(cells[0].begin(), "CHANGED");
  std::int64_t total = 0;
  for (const auto& r : rows) {
    cells.push_back(
        {platform::formatFileByteCount(r.bytes), bar(r.bytes, largest, terminal), r.label, r.path});
    if (byAge) cells.back().insert(cells.back().begin(), r.changed ? localDate(*r.changed) : "?");
    total += r.bytes;
  }
  return alignedColumns(cells) + "Total: " + platform::formatFileByteCount(total) + " in " +
         std::to_string(rows.size()) + (rows.size() == 1 ? " place" : " places") + ".\n" + excluded;
}

Result<std::string> renderTransferStatus(std::string_view text) {
  const std::optional<DriveTransferJob> job = parseDriveTransferJob(text);
  if (!job) return fail(Errc::kParse, "the service's transfer status is not a JSON object");
  if (job->neverStarted()) return std::string("No drive transfer is under way.\n");
  const bool done = job->phase == TransferPhase::kDone;
  const bool ended = done || job->phase == TransferPhase::kFailed;
  // A finished job says how it ended; what it was last copying, and how fast, no longer holds.
  std::string out =
      done ? std::string(job->isBackup() ? mover::kBackedUpSentence : mover::kSwitchedSentence)
           : transferPhaseWords(job->phase, job->isBackup());
  out += " (" + job->rawPhase + ")\n";
  out += "From: " + job->sourceRoot + "\nTo: " + job->destRoot + "\n";
  out += "Progress: " + std::to_string(job->percent) + "% — " +
         platform::formatFileByteCount(job->bytesDone) + " of " +
         platform::formatFileByteCount(job->bytesTotal) + "\n";
  if (!ended && !job->rate.empty()) out += "Speed: " + job->rate + "\n";
  if (!ended && job->etaSeconds > 0) {
    out += "Time left: about " + std::to_string((job->etaSeconds + 59) / 60) + " min\n";
  }
  if (!ended && !job->currentFile.empty()) out += "Now copying: " + job->currentFile + "\n";
  if (!job->startedAt.empty()) out += "Started: " + job->startedAt + "\n";
  if (!job->lastError.empty()) out += "Last problem: " + sentence(job->lastError) + "\n";
  return out;
}

}  // namespace brimvale::app
