#include "transfers/transfer_events.h"

#include <array>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"

namespace brimvale::transfers {
std::string_view transferServiceRaw(TransferService service) {
  return rawNameOf(kTransferServiceNames, service);
}

TransferService transferServiceFromRaw(std::string_view raw) {
  return valueOfRaw(kTransferServiceNames, raw).value_or(TransferService::kUnknown);
}

std::string_view transferDirectionRaw(TransferDirection direction) {
  return rawNameOf(kTransferDirectionNames, direction);
}

std::optional<TransferDirection> transferDirectionFromRaw(std::string_view raw) {
  return valueOfRaw(kTransferDirectionNames, raw);
}

std::string transferEventLine(const TransferEvent& event) {
  nlohmann::json j{{"ts", isots(event.ts)},
                   {"service", transferServiceRaw(event.service)},
                   {"direction", transferDirectionRaw(event.direction)},
                   {"bytes", event.bytes}};
  return j.dump();
}

std::optional<TransferEvent> decodeTransferEventLine(std::string_view line) {
  auto j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  auto ts = j.find("ts");
  auto service = j.find("service");
  auto direction = j.find("direction");
  auto bytes = j.find("bytes");
  if (ts == j.end() || !ts->is_string() || service == j.end() || !service->is_string() ||
      direction == j.end() || !direction->is_string() || bytes == j.end() ||
      !bytes->is_number_integer()) {
    return std::nullopt;
  }
  auto when = parseIsots(ts->get<std::string>());
  auto dir = transferDirectionFromRaw(direction->get<std::string>());
  if (!when || !dir) return std::nullopt;
  return TransferEvent{*when, transferServiceFromRaw(service->get<std::string>()), *dir,
                       bytes->get<std::int64_t>()};
}

TransferEventStore::TransferEventStore(const std::filesystem::path& stateDir)
    : file_(stateDir / "transfer-events.ndjson") {}

Result<void> TransferEventStore::append(const TransferEvent& event) {
  std::lock_guard lock(mutex_);
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  return appendToFile(file_, transferEventLine(event) + "\n");
}

std::vector<TransferEvent> TransferEventStore::readAll() const {
  std::lock_guard lock(mutex_);
  std::vector<TransferEvent> events;
  auto text = readFile(file_);
  if (!text) return events;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    if (auto e = decodeTransferEventLine(std::string_view(*text).substr(start, end - start))) {
      events.push_back(*e);
    }
    start = end + 1;
  }
  return events;
}

}  // namespace brimvale::transfers
