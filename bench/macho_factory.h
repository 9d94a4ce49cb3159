// Benchmarks only: real Mach-O files made on the spot with the LLVM cross tools
// (clang, ld64.lld, llvm-lipo, llvm-install-name-tool), linked against a
// hand-written text stub of the system library.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"

namespace brimvale::apps::testing {

// `name` or its versioned form (`name-14` and later) in the system folders.
inline std::string llvmTool(std::string_view name) {
  if (std::string plain = findExecutable(name); !plain.empty()) return plain;
  for (int version = 14; version <= 22; ++version) {
    std::string versioned = findExecutable(std::string(name) + "-" + std::to_string(version));
    if (!versioned.empty()) return versioned;
  }
  return {};
}

struct MachOLink {
  std::string arch = "x86_64";
  std::string installName;  // set: a library with this install name
  std::vector<std::filesystem::path> libs;
  std::vector<std::filesystem::path> weakLibs;
  std::vector<std::filesystem::path> reexportLibs;
  std::vector<std::string> rpaths;
};

class MachOFactory {
 public:
  explicit MachOFactory(std::filesystem::path work)
      : work_(std::move(work)),
        clang_(llvmTool("clang")),
        ld_(llvmTool("ld64.lld")),
        lipo_(llvmTool("llvm-lipo")),
        installNameTool_(llvmTool("llvm-install-name-tool")) {
    std::ofstream(work_ / "libSystem.tbd") << "--- !tapi-tbd\n"
                                              "tbd-version: 4\n"
                                              "targets: [ x86_64-macos, arm64-macos ]\n"
                                              "install-name: '/usr/lib/libSystem.B.dylib'\n"
                                              "current-version: 1311\n"
                                              "exports:\n"
                                              "  - targets: [ x86_64-macos, arm64-macos ]\n"
                                              "    symbols: [ dyld_stub_binder ]\n"
                                              "...\n";
  }

  // The first tool that is missing, or empty when all are there.
  [[nodiscard]] std::string missingTool() const {
    if (clang_.empty()) return "clang";
    if (ld_.empty()) return "ld64.lld";
    if (lipo_.empty()) return "llvm-lipo";
    if (installNameTool_.empty()) return "llvm-install-name-tool";
    return {};
  }

  // Links a small program (or, with an install name, a library) at `output`.
  [[nodiscard]] bool link(const MachOLink& wanted, const std::filesystem::path& output) {
    const std::filesystem::path object = objectFor(wanted.arch);
    if (object.empty()) return false;
    // The header padding leaves room for llvm-install-name-tool to add longer paths.
    std::vector<std::string> args{
        "-arch", wanted.arch,     "-platform_version", "macos",      "11.0", "11.0",
        "-o",    output.string(), object.string(),     "-headerpad", "0x400"};
    if (!wanted.installName.empty()) {
      args.insert(args.end(), {"-dylib", "-install_name", wanted.installName});
    }
    for (const auto& lib : wanted.libs) args.push_back(lib.string());
    for (const auto& lib : wanted.weakLibs)
      args.insert(args.end(), {"-weak_library", lib.string()});
    for (const auto& lib : wanted.reexportLibs) {
      args.insert(args.end(), {"-reexport_library", lib.string()});
    }
    for (const auto& rpath : wanted.rpaths) args.insert(args.end(), {"-rpath", rpath});
    args.push_back((work_ / "libSystem.tbd").string());
    return run(ld_, std::move(args));
  }

  [[nodiscard]] bool lipo(const std::vector<std::filesystem::path>& thin,
                          const std::filesystem::path& output) {
    std::vector<std::string> args{"-create"};
    for (const auto& file : thin) args.push_back(file.string());
    args.insert(args.end(), {"-output", output.string()});
    return run(lipo_, std::move(args));
  }

  // Runs llvm-install-name-tool with `args` on `file` (changes it in place).
  [[nodiscard]] bool installNameTool(std::vector<std::string> args,
                                     const std::filesystem::path& file) {
    args.push_back(file.string());
    return run(installNameTool_, std::move(args));
  }

 private:
  std::filesystem::path objectFor(const std::string& arch) {
    const std::filesystem::path object = work_ / ("main-" + arch + ".o");
    if (std::filesystem::exists(object)) return object;
    const std::filesystem::path source = work_ / "main.c";
    std::ofstream(source) << "int main(void) { return 0; }\n";
    if (!run(clang_,
             {"-target", arch + "-apple-macos11", "-c", source.string(), "-o", object.string()})) {
      return {};
    }
    return object;
  }

  static bool run(const std::string& tool, std::vector<std::string> args) {
    return !tool.empty() &&
           runTool(runProcess, tool, std::move(args), std::chrono::seconds(60)).succeeded();
  }

  std::filesystem::path work_;
  std::string clang_;
  std::string ld_;
  std::string lipo_;
  std::string installNameTool_;
};

}  // namespace brimvale::apps::testing
