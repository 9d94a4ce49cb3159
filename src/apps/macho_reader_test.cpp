#include "apps/macho_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader_test_files.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using testing::HandCommand;
using testing::handMadeMachO;
using testing::MachOFactory;
using testing::MachOLink;
using testing::universalOf;

constexpr std::uint32_t kX86_64 = 0x01000007;
constexpr std::uint32_t kI386 = 7;
constexpr std::uint32_t kPowerPc = 18;

std::vector<std::byte> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::byte> bytes(chars.size());
  std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

std::vector<std::byte> firstBytes(std::vector<std::byte> bytes, std::size_t count) {
  bytes.resize(std::min(bytes.size(), count));
  return bytes;
}

Result<std::vector<MachOSlice>> readBytes(std::span<const std::byte> bytes) {
  return readMachO(MemoryByteSource(bytes));
}

std::vector<std::string> pathsOf(const MachOSlice& slice) {
  std::vector<std::string> paths;
  for (const auto& load : slice.loads) paths.push_back(load.path);
  return paths;
}

// Real files from the LLVM cross tools; each test skips when a tool is absent.
class MachOReaderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string missing = factory_.missingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
  }
  fs::path lib(const std::string& name, const std::string& installName,
               const std::string& arch = "x86_64") {
    const fs::path path = dir_ / name;
    EXPECT_TRUE(factory_.link({.arch = arch, .installName = installName}, path)) << name;
    return path;
  }

  brimvale::testing::TempFolder dir_{"bv-macho"};
  MachOFactory factory_{dir_.path()};
};

TEST_F(MachOReaderFiles, ExecutableListsEachKindOfLoadInCommandOrder) {
  const fs::path hard =
      lib("libhard.dylib", "/Applications/X.app/Contents/Frameworks/libhard.dylib");
  const fs::path weak = lib("libweak.dylib", "@rpath/libweak.dylib");
  const fs::path exe = dir_ / "X";
  ASSERT_TRUE(factory_.link(
      {.libs = {hard}, .weakLibs = {weak}, .rpaths = {"@executable_path/../Frameworks", "/opt/x"}},
      exe));

  auto slices = readMachOFile(exe);
  ASSERT_TRUE(slices.has_value()) << slices.error().detail;
  ASSERT_EQ(slices->size(), 1u);
  const MachOSlice& slice = slices->front();
  EXPECT_EQ(slice.arch, "x86_64");
  EXPECT_FALSE(slice.installName.has_value());
  EXPECT_EQ(slice.rpaths, (std::vector<std::string>{"@executable_path/../Frameworks", "/opt/x"}));
  // Command order is link order: the program's libraries, then the system stub.
  EXPECT_EQ(slice.loads,
            (std::vector<DylibLoad>{
                {"/Applications/X.app/Contents/Frameworks/libhard.dylib", DylibLoadKind::kLoad},
                {"@rpath/libweak.dylib", DylibLoadKind::kWeak},
                {"/usr/lib/libSystem.B.dylib", DylibLoadKind::kLoad}}));
}

TEST_F(MachOReaderFiles, LibraryKeepsItsInstallNameApartFromItsLoads) {
  const fs::path inner = lib("libinner.dylib", "/usr/local/lib/libinner.dylib", "arm64");
  const fs::path outer = dir_ / "libouter.dylib";
  ASSERT_TRUE(factory_.link(
      {.arch = "arm64", .installName = "@rpath/libouter.dylib", .reexportLibs = {inner}}, outer));

  auto slices = readMachOFile(outer);
  ASSERT_TRUE(slices.has_value()) << slices.error().detail;
  const MachOSlice& slice = slices->front();
  EXPECT_EQ(slice.arch, "arm64");
  EXPECT_EQ(slice.installName, "@rpath/libouter.dylib");
  EXPECT_EQ(std::ranges::count(pathsOf(slice), "@rpath/libouter.dylib"), 0);
  const DylibLoad reexport{"/usr/local/lib/libinner.dylib", DylibLoadKind::kReexport};
  EXPECT_NE(std::ranges::find(slice.loads, reexport), slice.loads.end());
}

TEST_F(MachOReaderFiles, UniversalFileGivesOneSlicePerArchitecture) {
  const fs::path intel = dir_ / "intel";
  const fs::path arm = dir_ / "arm";
  const fs::path fat = dir_ / "fat";
  ASSERT_TRUE(factory_.link({.arch = "x86_64", .rpaths = {"@loader_path/intel"}}, intel));
  ASSERT_TRUE(factory_.link({.arch = "arm64", .rpaths = {"@loader_path/arm"}}, arm));
  ASSERT_TRUE(factory_.lipo({intel, arm}, fat));

  auto slices = readMachOFile(fat);
  ASSERT_TRUE(slices.has_value()) << slices.error().detail;
  ASSERT_EQ(slices->size(), 2u);
  EXPECT_EQ((*slices)[0].arch, "x86_64");
  EXPECT_EQ((*slices)[0].rpaths, std::vector<std::string>{"@loader_path/intel"});
  EXPECT_EQ((*slices)[1].arch, "arm64");
  EXPECT_EQ((*slices)[1].rpaths, std::vector<std::string>{"@loader_path/arm"});
  // The linker signs arm64 output ad hoc: a signature without entitlements.
  EXPECT_FALSE((*slices)[1].entitlementsXml.has_value());
}

TEST_F(MachOReaderFiles, SeesPathsRewrittenAfterLinking) {
  const fs::path exe = dir_ / "X";
  ASSERT_TRUE(factory_.link({}, exe));
  ASSERT_TRUE(factory_.installNameTool(
      {"-change", "/usr/lib/libSystem.B.dylib", "/Applications/Y.app/libS.dylib", "-add_rpath",
       "/Applications/Y.app/Contents/Frameworks"},
      exe));

  auto slices = readMachOFile(exe);
  ASSERT_TRUE(slices.has_value()) << slices.error().detail;
  EXPECT_EQ(pathsOf(slices->front()), std::vector<std::string>{"/Applications/Y.app/libS.dylib"});
  EXPECT_EQ(slices->front().rpaths,
            std::vector<std::string>{"/Applications/Y.app/Contents/Frameworks"});
}

TEST(MachOReader, ReadsEveryLayoutTheFormatAllows) {
  const std::vector<HandCommand> commands{{testing::kHandIdDylib, "/usr/lib/libme.dylib"},
                                          {testing::kHandLoadDylib, "/usr/lib/libA.dylib"},
                                          {testing::kHandLoadWeakDylib, "@rpath/B.framework/B"},
                                          {testing::kHandRpath, "@loader_path/.."}};
  const auto ppc = handMadeMachO(false, true, kPowerPc, commands);
  const auto i386 = handMadeMachO(false, false, kI386, commands);
  const auto bigEndian64 = handMadeMachO(true, true, kX86_64, commands);
  const struct {
    const char* name;
    std::vector<std::byte> bytes;
    std::vector<std::string> arches;
  } kCases[] = {
      {"32-bit big-endian", ppc, {"ppc"}},
      {"32-bit little-endian", i386, {"i386"}},
      {"64-bit big-endian", bigEndian64, {"x86_64"}},
      {"universal, 32-bit table", universalOf({ppc, i386}, false), {"ppc", "i386"}},
      {"universal, 64-bit table", universalOf({i386, bigEndian64}, true), {"i386", "x86_64"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto slices = readBytes(c.bytes);
    ASSERT_TRUE(slices.has_value()) << slices.error().detail;
    ASSERT_EQ(slices->size(), c.arches.size());
    for (std::size_t i = 0; i < c.arches.size(); ++i) {
      const MachOSlice& slice = (*slices)[i];
      EXPECT_EQ(slice.arch, c.arches[i]);
      EXPECT_EQ(slice.installName, "/usr/lib/libme.dylib");
      EXPECT_EQ(slice.loads,
                (std::vector<DylibLoad>{{"/usr/lib/libA.dylib", DylibLoadKind::kLoad},
                                        {"@rpath/B.framework/B", DylibLoadKind::kWeak}}));
      EXPECT_EQ(slice.rpaths, std::vector<std::string>{"@loader_path/.."});
    }
  }
}

TEST(MachOReader, ReadsEntitlementsFromTheSignature) {
  const std::string xml =
      "<plist><dict><key>com.apple.security.app-sandbox</key><true/></dict></plist>";
  const auto signature =
      testing::superBlob({{0, 0xfade0c02, "cd"}, {kEntitlementsSlot, kEntitlementsBlobMagic, xml}});
  const auto bytes = handMadeMachO(true, false, kX86_64, {}, signature);
  auto slices = readBytes(bytes);
  ASSERT_TRUE(slices.has_value()) << slices.error().detail;
  EXPECT_EQ(slices->front().entitlementsXml, xml);
}

TEST(MachOReader, RejectsWhatIsNotMachO) {
  const auto good = handMadeMachO(true, false, kX86_64, {{testing::kHandRpath, "@rpath"}});
  auto withByte = [&](std::size_t at, std::byte value) {
    auto bytes = good;
    bytes[at] = value;
    return bytes;
  };
  const struct {
    const char* name;
    std::vector<std::byte> bytes;
  } kCases[] = {
      {"empty", {}},
      {"shell script", testing::bytesOf("#!/bin/sh\necho hello\n")},
      {"Java class file", testing::bytesOf("\xca\xfe\xba\xbe\x00\x00\x00\x34rest")},
      {"universal with no slices", testing::bytesOf(std::string("\xca\xfe\xba\xbe\0\0\0\0", 8))},
      {"slice past the file end", firstBytes(universalOf({good}, false), 60)},
      {"command size below 8", withByte(32 + 4, std::byte{4})},
      {"command size past the commands", withByte(32 + 4, std::byte{0xf0})},
      {"string offset inside the fixed part", withByte(32 + 8, std::byte{4})},
      {"string offset past the command", withByte(32 + 8, std::byte{0x40})},
      {"more commands than bytes", withByte(16, std::byte{9})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(readBytes(c.bytes).has_value());
  }
}

// Every file the tests make, cut short at every offset and with random bytes
// changed: each read must end in a result or an error, never outside the bytes.
TEST_F(MachOReaderFiles, DamagedFilesNeverReadOutOfBounds) {
  const fs::path intel = dir_ / "intel";
  const fs::path arm = dir_ / "arm";
  const fs::path fat = dir_ / "fat";
  ASSERT_TRUE(factory_.link({.arch = "x86_64", .rpaths = {"@loader_path"}}, intel));
  ASSERT_TRUE(factory_.link({.arch = "arm64", .installName = "@rpath/a.dylib"}, arm));
  ASSERT_TRUE(factory_.lipo({intel, arm}, fat));
  const auto signature = testing::superBlob({{kEntitlementsSlot, kEntitlementsBlobMagic, "<x/>"}});
  const std::vector<std::vector<std::byte>> files{
      fileBytes(fat), handMadeMachO(true, false, kX86_64, {}, signature),
      universalOf({handMadeMachO(false, true, kPowerPc, {{testing::kHandLoadDylib, "/a"}}),
                   handMadeMachO(true, false, kX86_64, {}, signature)},
                  true)};
  std::mt19937 random(20261207);
  for (std::size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE("file " + std::to_string(f));
    const auto& whole = files[f];
    ASSERT_TRUE(readBytes(whole).has_value());
    // Each file ends with a slice or a signature, so every cut loses a needed byte.
    std::size_t cutsRead = 0;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      // A copy of exactly `cut` bytes, so a read past it is a read past the allocation.
      const std::vector<std::byte> prefix(whole.begin(), whole.begin() + static_cast<long>(cut));
      if (readBytes(prefix)) ++cutsRead;
    }
    EXPECT_EQ(cutsRead, 0u);
    for (int round = 0; round < 3000; ++round) {
      auto bytes = whole;
      const int flips = 1 + static_cast<int>(random() % 4);
      // Most damage goes to the headers and commands, where the parsing is.
      const std::size_t span = std::min<std::size_t>(bytes.size(), 8192);
      for (int i = 0; i < flips; ++i) {
        bytes[random() % span] = static_cast<std::byte>(random());
      }
      (void)readBytes(bytes);
    }
  }
}

TEST_F(MachOReaderFiles, TruncatedFileOnDiskIsAnError) {
  const fs::path exe = dir_ / "X";
  ASSERT_TRUE(factory_.link({.rpaths = {"@loader_path"}}, exe));
  fs::resize_file(exe, 40);
  EXPECT_FALSE(readMachOFile(exe).has_value());
  EXPECT_EQ(readMachOFile(dir_ / "absent").error().code, Errc::kNotFound);
  EXPECT_FALSE(readMachOFile(dir_.path()).has_value());
}

}  // namespace
}  // namespace brimvale::apps
