#include "e2e_harness.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/state/paths.h"
#include "platform/platform.h"

namespace brimvale::e2e {
namespace fs = std::filesystem;

TempHome::TempHome() {
  char tmpl[] = "/tmp/brimvale-home-XXXXXX";
  path_ = mkdtemp(tmpl);
}

TempHome::~TempHome() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempHome::writeConfig(const std::string& text) const {
  fs::create_directories(path_ / ".brimvale");
  std::ofstream(path_ / ".brimvale" / "brim-vale.conf") << text;
}

TmpfsDrive::TmpfsDrive(const std::string& name, const std::string& size)
    : path_(fs::path("/Volumes") / name) {
  std::error_code ec;
  fs::create_directories(path_, ec);
  if (ec) {
    whyNot_ = "cannot create " + path_.string() + ": " + ec.message();
    return;
  }
  std::string options = "size=" + size + ",mode=0755";
  if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    whyNot_ = "cannot mount a tmpfs drive (" + std::string(std::strerror(errno)) +
              "); run the tests through scripts/test";
    fs::remove(path_, ec);
    return;
  }
  mounted_ = true;
}

TmpfsDrive::~TmpfsDrive() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(path_, ec);
}

bool mountsRequired() {
  const char* v = std::getenv("BRIMVALE_REQUIRE_MOUNTS");
  return v && std::string(v) == "1";
}

ProcessResult runBrimVale(const TempHome& home, const std::vector<std::string>& args,
                          std::vector<std::pair<std::string, std::string>> env) {
  env.emplace_back("HOME", home.path().string());
  return runProcess({.path = BRIM_VALE_PATH,
                     .args = args,
                     .envAdditions = std::move(env),
                     .deadline = std::chrono::seconds(60)});
}

std::string thisWorkingFolderName() {
  return workingFolderName(platform::makeHostPlatform().host->computerName());
}

}  // namespace brimvale::e2e
