// Native reader of Mach-O files, thin or universal: per architecture slice the
// libraries it loads, its run-path search list, its own install name and its
// signed entitlements. Every read is bounds-checked; bad input is an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/base/error.h"

namespace brimvale::apps {

// How a slice names a library it needs (the load command that carries it).
enum class DylibLoadKind { kLoad, kWeak, kReexport, kLazy, kUpward };

struct DylibLoad {
  std::string path;
  DylibLoadKind kind = DylibLoadKind::kLoad;

  bool operator==(const DylibLoad&) const = default;
};

struct MachOSlice {
  std::string arch;              // "x86_64", "arm64", "i386", "ppc", ...
  std::vector<DylibLoad> loads;  // in load-command order; never the slice's own id
  std::vector<std::string> rpaths;
  std::optional<std::string> installName;  // LC_ID_DYLIB of a library
  std::optional<std::string> entitlementsXml;
};

// Random access to the bytes of a file or a buffer. read() fails rather than
// returning fewer bytes than asked.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual std::uint64_t size() const = 0;
  [[nodiscard]] virtual Result<std::vector<std::byte>> read(std::uint64_t offset,
                                                            std::size_t count) const = 0;
};

class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  [[nodiscard]] std::uint64_t size() const override { return bytes_.size(); }
  [[nodiscard]] Result<std::vector<std::byte>> read(std::uint64_t offset,
                                                    std::size_t count) const override;

 private:
  std::span<const std::byte> bytes_;
};

// The slices of a Mach-O image, one for a thin file. kParse for anything that
// is not a well-formed Mach-O (a script, a Java class, a truncated file); only
// the headers, load commands and code signature are read, never whole slices.
[[nodiscard]] Result<std::vector<MachOSlice>> readMachO(const ByteSource& source);

// readMachO over a file opened read-only; kNotFound / kIo when it cannot be read.
[[nodiscard]] Result<std::vector<MachOSlice>> readMachOFile(const std::filesystem::path& path);

}  // namespace brimvale::apps
