// The transfer-event log: one NDJSON line per copy or move of data
// (state/transfer-events.ndjson), and the per-day totals the charts draw.
#pragma once
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/error.h"
#include "common/base/raw_names.h"

namespace brimvale::transfers {

// Which feature moved the bytes. Persisted by raw string; never renumber.
enum class TransferService {
  kStorageInspector,
  kTier,
  kAppsRelocator,
  kAutoSync,
  kCloudSync,
  kFreeUpSpace,
  kUnknown,
};
inline constexpr std::array<RawName<TransferService>, 7> kTransferServiceNames{{
    {TransferService::kStorageInspector, "storage_inspector"},
    {TransferService::kTier, "tier"},
    {TransferService::kAppsRelocator, "apps_relocator"},
    {TransferService::kAutoSync, "auto_sync"},
    {TransferService::kCloudSync, "cloud_sync"},
    {TransferService::kFreeUpSpace, "free_up_space"},
    {TransferService::kUnknown, "unknown"},
}};

// kOut: bytes left the internal disk.
enum class TransferDirection { kOut, kIn };
inline constexpr std::array<RawName<TransferDirection>, 2> kTransferDirectionNames{{
    {TransferDirection::kOut, "out"},
    {TransferDirection::kIn, "in"},
}};

[[nodiscard]] std::string_view transferServiceRaw(TransferService service);
// Unknown text reads as kUnknown, so one new feature never hides a whole day.
[[nodiscard]] TransferService transferServiceFromRaw(std::string_view raw);
[[nodiscard]] std::string_view transferDirectionRaw(TransferDirection direction);
[[nodiscard]] std::optional<TransferDirection> transferDirectionFromRaw(std::string_view raw);

struct TransferEvent {
  std::time_t ts = 0;
  TransferService service = TransferService::kUnknown;
  TransferDirection direction = TransferDirection::kOut;
  std::int64_t bytes = 0;
  bool operator==(const TransferEvent&) const = default;
};

// {"bytes":..,"direction":"out","service":"tier","ts":"2026-03-01T09:15:00Z"}
[[nodiscard]] std::string transferEventLine(const TransferEvent& event);
// Nothing for a line that is not an event (bad JSON, missing key, bad date).
[[nodiscard]] std::optional<TransferEvent> decodeTransferEventLine(std::string_view line);

// Thread-safe; appends are single lines so other writers never interleave.
class TransferEventStore {
 public:
  // `stateDir` is ~/.brimvale/state.
  explicit TransferEventStore(const std::filesystem::path& stateDir);
  [[nodiscard]] Result<void> append(const TransferEvent& event);
  // Undecodable lines are skipped and left on disk.
  [[nodiscard]] std::vector<TransferEvent> readAll() const;
  [[nodiscard]] const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  mutable std::mutex mutex_;
};

}  // namespace brimvale::transfers
