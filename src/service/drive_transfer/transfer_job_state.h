// What every transfer command asks about the job: its store, whether its
// drives and working folders are there, and how often it was resumed.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "service/core/service_context.h"
#include "service/drive_transfer/transfer_store.h"

namespace brimvale::service {

inline constexpr std::string_view kWaitingForDrive = "Waiting for the drive to reconnect.";

[[nodiscard]] TransferStore storeOf(const ServiceContext& ctx);

// False for an empty path.
[[nodiscard]] bool isDirectory(const std::filesystem::path& path);
void removeFile(const std::filesystem::path& path);
// Removes the job lock (transfer.lock/), which lets a new job start.
void releaseLock(const TransferFiles& files);

// A drive root of the job (`key` names it in the store) as the mount table
// spells it (a job stored before roots were normalised may carry a trailing
// slash) is mounted.
[[nodiscard]] bool rootMounted(ServiceContext& ctx, const TransferStore& store,
                               std::string_view key);
[[nodiscard]] bool rootsMounted(ServiceContext& ctx, const TransferStore& store);

// resumeCount, 0 when missing or unreadable.
[[nodiscard]] long long resumeCount(const TransferStore& store);

// The job's copy, where a cancel may delete it and the supervisor may remove
// what its own killed copies left: exactly this computer's working folder
// directly on the job's destination drive, which must be mounted and must not
// be the current drive, checked by the path policy and carrying the marker a
// transfer writes. Read from a file anyone could have edited, so nothing in
// it is taken on trust. An empty path: there is no copy. Otherwise the
// sentence saying it was not deleted and why.
[[nodiscard]] std::expected<std::filesystem::path, std::string> checkedJobCopy(
    ServiceContext& ctx, const TransferStore& store);

// "Waiting for the drive to reconnect.", followed by the real cause when both
// drives are connected and it is a working folder that is missing.
[[nodiscard]] std::string waitingMessage(ServiceContext& ctx, const TransferStore& store);

}  // namespace brimvale::service
