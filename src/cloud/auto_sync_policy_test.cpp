#include "cloud/auto_sync_policy.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace brimvale::cloud {
namespace {

TEST(AutoSyncPolicy, RegistrationRefusals) {
  // Lexical checks only: nothing here is touched on disk.
  const AutoSyncRoots linuxRoots{"/h/alice", "/drive/BRIM-Test"};
  const AutoSyncRoots macRoots{"/h/alice", "/Volumes"};
  const std::string unsafe = "AutoSyncManager: refusing to register policy for unsafe path ";
  const std::string notDrive =
      "AutoSyncManager: refusing to register policy with non-NVMe destination ";
  struct Case {
    const char* watched;
    const char* destination;
    const AutoSyncRoots* roots;
    std::string logLine;  // empty: accepted
  } cases[] = {
      {"/h/alice/Documents/Invoices", "/drive/BRIM-Test/Invoices", &linuxRoots, ""},
      {"/h/alice/Documents", "/drive/BRIM-Test/Docs", &linuxRoots, unsafe + "/h/alice/Documents"},
      {"/h/alice", "/drive/BRIM-Test/x", &linuxRoots, unsafe + "/h/alice"},
      {"/", "/drive/BRIM-Test/x", &linuxRoots, unsafe + "/"},
      {"Projects", "/drive/BRIM-Test/x", &linuxRoots, unsafe + "Projects"},
      {"/h/alice/../alice/Documents", "/drive/BRIM-Test/x", &linuxRoots,
       unsafe + "/h/alice/../alice/Documents"},
      {"/h/alice/Projects", "/drive/BRIM-Test", &linuxRoots, ""},
      {"/drive/BRIM-Test/Inbox", "/drive/BRIM-Test/Out", &linuxRoots,
       unsafe + "/drive/BRIM-Test/Inbox"},
      {"/h/alice/Projects", "/h/alice/Backup", &linuxRoots, notDrive + "/h/alice/Backup"},
      {"/h/alice/Projects", "/drive/BRIM-Other/x", &linuxRoots, notDrive + "/drive/BRIM-Other/x"},
      {"/h/alice/Projects", "/drive/BRIM-Test-2/x", &linuxRoots, notDrive + "/drive/BRIM-Test-2/x"},
      {"/h/alice/Projects", "/drive/BRIM-Test/../x", &linuxRoots,
       notDrive + "/drive/BRIM-Test/../x"},
      {"/h/alice/Projects", "/Volumes/NVMe/Projects", &macRoots, ""},
      {"/h/alice/Projects", "/Volumes", &macRoots, notDrive + "/Volumes"},
      {"/h/alice/Projects", "/Users/alice/x", &macRoots, notDrive + "/Users/alice/x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.watched) + " -> " + c.destination);
    const auto refusal = registrationRefusal(c.watched, c.destination, *c.roots);
    if (c.logLine.empty()) {
      EXPECT_FALSE(refusal.has_value()) << refusal->logLine;
    } else {
      ASSERT_TRUE(refusal.has_value());
      EXPECT_EQ(refusal->logLine, c.logLine);
      EXPECT_TRUE(refusal->sentence.ends_with("Nothing was changed.")) << refusal->sentence;
    }
  }
}

TEST(AutoSyncPolicy, JsonRoundTripAndDamagedRecords) {
  AutoSyncPolicy policy;
  policy.id = newUuid();
  policy.internalPath = "/h/alice/Projects";
  policy.nvmeDestParent = "/drive/BRIM-Test/Projects";
  policy.createdAt = 1'700'000'000;
  policy.enabled = false;
  policy.excludePatterns = {"*.tmp", ".DS_Store"};
  policy.lastScanAt = 1'700'000'600;
  policy.totalFilesMoved = 3;
  policy.totalBytesMoved = 4096;
  EXPECT_EQ(policyFromJson(policyToJson(policy)), policy);

  const auto good = policyToJson(policy);
  struct Case {
    const char* what;
    const char* key;
    nlohmann::json value;  // null: the key is removed
  } damaged[] = {
      {"no id", "id", nullptr},
      {"id leaving the folder", "id", "../../escape"},
      {"wrong type", "totalFilesMoved", "three"},
      {"bad scan date", "lastScanAt", 12},
  };
  for (const auto& c : damaged) {
    SCOPED_TRACE(c.what);
    auto json = good;
    if (c.value.is_null()) {
      json.erase(c.key);
    } else {
      json[c.key] = c.value;
    }
    EXPECT_FALSE(policyFromJson(json).has_value());
  }
}

}  // namespace
}  // namespace brimvale::cloud
