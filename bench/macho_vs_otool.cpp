// The native Mach-O reader against `llvm-otool -L` over 200 generated app
// bundles of 5 binaries each (programs, frameworks, libraries; thin and
// universal). Every slice's load paths must equal what otool prints (a
// library's own install name left out of both); the figure is how many times
// faster the reader is than one otool run per slice (a universal file's
// slices cut out beforehand, untimed), as a scan would run it.
//
// Usage: macho_vs_otool [runs [bundles]]   (defaults 3 and 200)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/macho_reader.h"
#include "bench_support.h"
#include "common/base/process.h"
#include "macho_factory.h"

namespace fs = std::filesystem;
using brimvale::apps::MachOSlice;
using brimvale::apps::testing::MachOFactory;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "macho_vs_otool: %s\n", what.c_str());
  std::exit(1);
}

// Libraries shared by every bundle, linked once and copied in.
struct Templates {
  fs::path weak;       // @rpath/libw.dylib
  fs::path homebrew;   // arm64 library with an absolute non-system name and a re-export
  fs::path universal;  // helper program for x86_64 and arm64
};

Templates makeTemplates(MachOFactory& factory, const fs::path& dir) {
  Templates t{dir / "libw.dylib", dir / "libz.dylib", dir / "Helper"};
  const fs::path intel = dir / "helper-x86_64";
  const fs::path arm = dir / "helper-arm64";
  const fs::path inner = dir / "libq.dylib";
  const std::string zName = "/opt/homebrew/lib/libz.1.dylib";
  // The linker cannot link against a library that re-exports another, so the
  // arm64 helper is linked first and libz gains its re-export afterwards.
  if (!factory.link({.installName = "@rpath/libw.dylib", .rpaths = {"@loader_path"}}, t.weak) ||
      !factory.link({.arch = "arm64", .installName = zName}, t.homebrew) ||
      !factory.link({.arch = "arm64", .installName = "/usr/local/lib/libq.dylib"}, inner) ||
      !factory.link({.arch = "x86_64", .weakLibs = {t.weak}, .rpaths = {"@loader_path/../lib"}},
                    intel) ||
      !factory.link({.arch = "arm64", .libs = {t.homebrew}}, arm) ||
      !factory.link({.arch = "arm64", .installName = zName, .reexportLibs = {inner}}, t.homebrew) ||
      !factory.lipo({intel, arm}, t.universal)) {
    die("could not make the template binaries");
  }
  return t;
}

// One bundle: a program and a framework that name the bundle's own absolute
// path, plus the shared libraries and the universal helper.
std::vector<fs::path> makeBundle(MachOFactory& factory, const Templates& t, const fs::path& app) {
  const fs::path frameworks = app / "Contents/Frameworks";
  const fs::path macos = app / "Contents/MacOS";
  fs::create_directories(frameworks / "K.framework");
  fs::create_directories(macos);
  const fs::path framework = frameworks / "K.framework/K";
  const fs::path program = macos / app.stem();
  const std::string installName =
      "/Applications/" + app.filename().string() + "/Contents/Frameworks/K.framework/K";
  fs::copy_file(t.weak, frameworks / "libw.dylib");
  fs::copy_file(t.homebrew, frameworks / "libz.dylib");
  fs::copy_file(t.universal, macos / "Helper");
  if (!factory.link({.installName = installName}, framework) ||
      !factory.link(
          {.libs = {framework}, .weakLibs = {t.weak}, .rpaths = {"@executable_path/../Frameworks"}},
          program)) {
    die("could not link " + app.string());
  }
  return {program, macos / "Helper", framework, frameworks / "libw.dylib",
          frameworks / "libz.dylib"};
}

std::vector<std::string> nativePaths(const MachOSlice& slice) {
  std::vector<std::string> paths;
  for (const auto& load : slice.loads) paths.push_back(load.path);
  return paths;
}

// Dependency lines of one slice's `otool -L`, the library's own name (its
// first line) left out.
std::vector<std::string> otoolPaths(const std::string& output, const MachOSlice& slice) {
  std::vector<std::string> paths;
  std::size_t at = 0;
  while (at < output.size()) {
    std::size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with('\t')) continue;
    paths.push_back(line.substr(1, line.rfind(" (compatibility version") - 1));
  }
  if (slice.installName && !paths.empty() && paths.front() == *slice.installName) {
    paths.erase(paths.begin());
  }
  return paths;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int bundles = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  const std::string otool = brimvale::apps::testing::llvmTool("llvm-otool");
  const fs::path root = brimvale::bench::scratchFolder("macho");
  MachOFactory factory(root);
  if (!factory.missingTool().empty() || otool.empty()) {
    die("needs the LLVM tools (clang, lld, llvm)");
  }
  const Templates templates = makeTemplates(factory, root);
  std::vector<fs::path> binaries;
  for (int i = 0; i < bundles; ++i) {
    const auto made = makeBundle(factory, templates,
                                 root / "Applications" / ("App" + std::to_string(i) + ".app"));
    binaries.insert(binaries.end(), made.begin(), made.end());
  }
  std::printf("%d bundles, %zu binaries\n", bundles, binaries.size());
  // llvm-otool prints one slice of a universal file only, so each slice of
  // one is cut out once, here, and otool reads the slices.
  const std::string lipo = brimvale::apps::testing::llvmTool("llvm-lipo");
  std::vector<std::vector<std::string>> otoolTargets;
  for (std::size_t b = 0; b < binaries.size(); ++b) {
    auto slices = brimvale::apps::readMachOFile(binaries[b]);
    if (!slices) die("native reader failed: " + slices.error().detail);
    std::vector<std::string> targets;
    for (const MachOSlice& slice : *slices) {
      if (slices->size() == 1) {
        targets.push_back(binaries[b].string());
        continue;
      }
      const fs::path thin = root / ("slice-" + std::to_string(b) + "-" + slice.arch);
      if (!brimvale::runTool(brimvale::runProcess, lipo,
                             {binaries[b].string(), "-thin", slice.arch, "-output", thin.string()},
                             std::chrono::seconds(30))
               .succeeded()) {
        die("could not cut out " + slice.arch + " of " + binaries[b].string());
      }
      targets.push_back(thin.string());
    }
    otoolTargets.push_back(std::move(targets));
  }

  std::vector<double> nativeMs;
  std::vector<double> otoolMs;
  std::size_t slicesCompared = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<MachOSlice>> native;
    for (const fs::path& binary : binaries) {
      auto slices = brimvale::apps::readMachOFile(binary);
      if (!slices) die("native reader failed: " + slices.error().detail);
      native.push_back(std::move(*slices));
    }
    nativeMs.push_back(millisecondsSince(start));

    start = std::chrono::steady_clock::now();
    std::vector<std::vector<std::string>> printed;
    for (std::size_t b = 0; b < binaries.size(); ++b) {
      for (std::size_t i = 0; i < native[b].size(); ++i) {
        const auto result = brimvale::runTool(
            brimvale::runProcess, otool, {"-L", otoolTargets[b].at(i)}, std::chrono::seconds(30));
        if (!result.succeeded()) die("llvm-otool failed: " + result.describe());
        printed.push_back(otoolPaths(result.out, native[b][i]));
      }
    }
    otoolMs.push_back(millisecondsSince(start));

    slicesCompared = 0;
    for (std::size_t b = 0; b < binaries.size(); ++b) {
      for (const MachOSlice& slice : native[b]) {
        if (nativePaths(slice) != printed[slicesCompared]) {
          die("load paths differ for " + binaries[b].string() + " (" + slice.arch + ")");
        }
        ++slicesCompared;
      }
    }
  }
  fs::remove_all(root);

  const double ours = brimvale::bench::median(nativeMs);
  const double theirs = brimvale::bench::median(otoolMs);
  std::printf("slices compared: %zu per run, load paths equal in all %d runs\n", slicesCompared,
              runs);
  std::printf("native reader  median %.1f ms\n", ours);
  std::printf("llvm-otool -L  median %.1f ms\n", theirs);
  std::printf("ratio: %.1fx faster (target >= 20x)\n", theirs / ours);
  return 0;
}
