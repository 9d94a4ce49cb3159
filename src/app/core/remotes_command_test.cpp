#include "app/core/remotes_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/secret_prompt.h"
#include "app/core/remote_add.h"
#include "cloud/cloud_testing.h"
#include "cloud/pepper_store.h"
#include "cloud/sync_job.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {

// The real rclone over a configuration of this test's own with one local
// remote, "here".
struct Remotes {
  brimvale::testing::TempFolder temp{"bv-remotes"};
  std::ostringstream out, err;
  RemotesCommandContext context{
      .rclone = findExecutable("rclone"), .out = out, .err = err, .runner = runProcess};
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

// A vault, a details store and a recorder of every child, all in the test's folder.
struct Accounts : Remotes {
  cloud::VaultLocation location{temp / "secrets" / "vault.enc", temp / "secrets"};
  std::unique_ptr<cloud::PepperStore> pepper = cloud::makeFilePepperStore(location.secretsDir);
  cloud::SecretVault vault{location, *pepper, "machine:test|setup:1"};
  cloud::RemoteMetadataStore details{cloud::MetadataFiles::inStateFolder(temp / "state"),
                                     {"machine:test|setup:1", true},
                                     std::nullopt};
  cloud::testing::RecordingRunner recorder;
  std::string typed;
  int asked = 0;
  Accounts() {
    context.vault = &vault;
    context.details = &details;
    context.runner = recorder.runner();
    context.askSecret = [this](const std::string&) -> Result<std::string> {
      ++asked;
      return typed;
    };
  }
  int add(std::string type, std::string name, std::map<std::string, std::string> options) {
    context.addOptions = std::move(options);
    const int status = run({"add", std::move(type), std::move(name)});
    context.addOptions.clear();
    return status;
  }
  bool anyArgumentHolds(const std::string& secret) const {
    for (const auto& args : recorder.argumentLists()) {
      for (const auto& arg : args) {
        if (arg.find(secret) != std::string::npos) return true;
      }
    }
    return false;
  }
};

// Given an SFTP server on the loopback address with a random password, the
// account is added with the password typed (never on a command line), it
// connects, its folder can be browsed, and it is removed again, twice.
TEST(RemotesCommand, SftpAccountEndToEnd) {
  Accounts a;
  const auto served = a.temp / "served";
  std::filesystem::create_directories(served / "photos");
  a.temp.file("served/notes.txt", "hello");
  const std::string password = "Pw-" + newUuid().substr(0, 18);
  cloud::testing::LoopbackSftpServer server(served.string(), "tester", password);
  a.typed = password;

  ASSERT_EQ(
      a.add("sftp", "box",
            {{"host", "127.0.0.1"}, {"port", std::to_string(server.port())}, {"user", "tester"}}),
      0)
      << a.err.str();
  EXPECT_EQ(a.asked, 1);
  EXPECT_FALSE(a.anyArgumentHolds(password));
  EXPECT_EQ(a.vault.load().value()["box"]["password"], password);
  EXPECT_EQ(readFile(a.temp / "rclone.conf").value_or("").find(password), std::string::npos);

  ASSERT_EQ(a.run({"test", "box"}), 0) << a.err.str();
  ASSERT_EQ(a.run({"browse", "box:"}), 0) << a.err.str();
  EXPECT_EQ(a.out.str(), "photos/\nnotes.txt\n");
  // An edit changes what it is given and, with nothing typed, keeps the
  // password; a port nothing listens on is explained.
  a.typed = "";
  for (const std::string& port : {std::string("1"), std::to_string(server.port())}) {
    a.context.addOptions = {{"port", port}};
    ASSERT_EQ(a.run({"edit", "box"}), 0) << a.err.str();
    a.context.addOptions.clear();
    EXPECT_EQ(a.run({"test", "box"}), port == "1" ? 1 : 0) << a.err.str();
    EXPECT_EQ(a.err.str().find("Nothing's listening on 127.0.0.1:1.") != std::string::npos,
              port == "1")
        << a.err.str();
  }
  EXPECT_EQ(a.vault.load().value()["box"]["password"], password);
  EXPECT_EQ(a.run({"edit", "here"}), 1);
  EXPECT_TRUE(a.err.str().starts_with(kNotEditable)) << a.err.str();
  EXPECT_EQ(a.add("sftp", "box", {{"host", "127.0.0.1"}, {"user", "tester"}}), 1);
  EXPECT_NE(a.err.str().find("box"), std::string::npos) << a.err.str();

  ASSERT_TRUE(a.vault.set("other", "password", "stays"));
  ASSERT_TRUE(a.details.recordSaved("other", "Other", std::nullopt));
  std::istringstream no("n\n");
  a.context.in = &no;
  a.context.interactive = true;
  EXPECT_EQ(a.run({"remove", "box"}), 1) << "removal waits for a yes";
  EXPECT_EQ(a.out.str(),
            std::string(kRemoveRemoteWarning) + "\nRemove box? [y/N] Nothing was removed.\n");
  a.context.yes = true;
  ASSERT_EQ(a.run({"remove", "box"}), 0) << a.err.str();
  EXPECT_EQ(a.vault.load().value(), (cloud::SecretMap{{"other", {{"password", "stays"}}}}));
  ASSERT_EQ(a.details.load().value().size(), 1u);
  EXPECT_EQ(a.details.load().value().at(0).remoteName, "other");
  EXPECT_EQ(a.run({"remove", "box"}), 0);
  EXPECT_TRUE(a.out.str().starts_with("There is no remote named box")) << a.out.str();
  EXPECT_EQ(a.run({"browse", "box:"}), 1);
  EXPECT_FALSE(a.anyArgumentHolds(password));
}

// Every refusal leaves rclone's configuration, the vault and the details as
// they were, and the ones the options alone decide never ask for the secret.
TEST(RemotesCommand, AddRefusals) {
  struct Case {
    std::string what, type, name;
    std::map<std::string, std::string> options;
    std::string typed;
    int status;
    std::string said;
    bool asks;
  } cases[] = {
      {"secret on the command line",
       "sftp",
       "s",
       {{"host", "h"}, {"password", "x"}},
       "",
       2,
       "never taken from the command line",
       false},
      {"user in the server field",
       "sftp",
       "s",
       {{"host", "me@h"}, {"user", "me"}},
       "pw",
       2,
       "belongs in Username",
       true},
      {"empty password",
       "sftp",
       "s",
       {{"host", "h"}, {"user", "u"}},
       "",
       2,
       "Enter the password.",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Accounts a;
    a.typed = c.typed;
    EXPECT_EQ(a.add(c.type, c.name, c.options), c.status);
    EXPECT_NE(a.err.str().find(c.said), std::string::npos) << a.err.str();
    EXPECT_NE(a.err.str().find("Nothing was added."), std::string::npos) << a.err.str();
    EXPECT_EQ(a.asked, c.asks ? 1 : 0);
    ASSERT_EQ(a.run({"list"}, true), 0);
    EXPECT_EQ(nlohmann::json::parse(a.out.str()).size(), 1u);  // only "here"
    EXPECT_FALSE(std::filesystem::exists(a.location.vaultFile));
  }
}

}  // namespace
}  // namespace brimvale::app
