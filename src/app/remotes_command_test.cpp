#include "app/remotes_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cloud/pepper_store.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

// The real rclone over a configuration of this test's own with one local
// remote, "here".
struct Remotes {
  brimvale::testing::TempFolder temp{"bv-remotes"};
  std::ostringstream out, err;
  RemotesCommandContext context{.rclone = findExecutable("rclone"), .out = out, .err = err};
  Remotes() {
    setenv("RCLONE_CONFIG", (temp / "rclone.conf").c_str(), 1);
    setenv("RCLONE_CACHE_DIR", (temp / "cache").c_str(), 1);
    (void)runProcess({.path = *context.rclone, .args = {"config", "create", "here", "local"}});
  }
  int run(std::vector<std::string> words, bool json = false) {
    out.str("");
    err.str("");
    return remotesCommand(context, words, json);
  }
};

TEST(RemotesCommand, ListsTypesAndTests) {
  Remotes r;
  ASSERT_EQ(r.run({}), 0) << r.err.str();
  EXPECT_TRUE(r.out.str().starts_with("here  ")) << r.out.str();
  ASSERT_EQ(r.run({"list"}, true), 0);
  EXPECT_EQ(nlohmann::json::parse(r.out.str()),
            nlohmann::json::parse(R"([{"name":"here","type":"local"}])"));

  ASSERT_EQ(r.run({"types"}), 0);
  EXPECT_NE(r.out.str().find("\nsftp  "), std::string::npos) << r.out.str();

  EXPECT_EQ(r.run({"test", "here"}), 0) << r.err.str();
  EXPECT_EQ(r.out.str(), "Connected to here.\n");
  EXPECT_EQ(r.run({"test", "nowhere"}), 1);
  EXPECT_FALSE(r.err.str().empty());
}

TEST(RemotesCommand, VaultResetKeepsTheOldVault) {
  Remotes r;
  const cloud::VaultLocation location{r.temp / "secrets" / "vault.enc", r.temp / "secrets"};
  const auto pepper = cloud::makeFilePepperStore(location.secretsDir);
  cloud::SecretVault vault(location, *pepper, "machine:test|setup:1");
  ASSERT_TRUE(vault.set("work", "password", "pw"));
  const std::string sealed = *readFile(location.vaultFile);
  r.context.vault = &vault;

  ASSERT_EQ(r.run({"vault-reset"}), 0) << r.err.str();
  EXPECT_FALSE(std::filesystem::exists(location.vaultFile));
  const std::string said = r.out.str();
  const auto at = said.find(location.vaultFile.string());
  ASSERT_NE(at, std::string::npos) << said;
  const std::string kept = said.substr(at, said.find(',', at) - at);
  EXPECT_EQ(readFile(kept).value_or(""), sealed) << kept;

  ASSERT_EQ(r.run({"vault-reset"}), 0);
  EXPECT_TRUE(r.out.str().starts_with("There is no vault to reset")) << r.out.str();
}

TEST(RemotesCommand, RefusedRequests) {
  struct Case {
    std::vector<std::string> words;
    bool haveRclone;
    int status;
  };
  const Case cases[] = {
      {{"test"}, true, 2},          {{"test", "-x"}, true, 2}, {{"test", "a:b"}, true, 2},
      {{"list", "extra"}, true, 2}, {{"add"}, true, 2},        {{"list"}, false, 1},
      {{"vault-reset"}, true, 1},  // no vault given
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    Remotes r;
    if (!c.haveRclone) r.context.rclone.reset();
    EXPECT_EQ(r.run(c.words), c.status);
    EXPECT_NE(r.err.str().find("Nothing was"), std::string::npos) << r.err.str();
    EXPECT_TRUE(r.out.str().empty());
  }
}

}  // namespace
}  // namespace brimvale::app
