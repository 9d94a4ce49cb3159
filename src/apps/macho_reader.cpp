#include "apps/macho_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "apps/code_signature_blob.h"

namespace brimvale::apps {
namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
// Java class files share the universal magic; their version field is far
// above any real count of architectures.
constexpr std::uint32_t kMaxFatArchs = 32;
// Far above what any linker writes, so a corrupt size cannot ask for gigabytes.
constexpr std::uint32_t kMaxLoadCommandBytes = 16u << 20;
constexpr std::uint32_t kMaxSignatureBytes = 64u << 20;

constexpr std::uint32_t kLcLoadDylib = 0xc;
constexpr std::uint32_t kLcIdDylib = 0xd;
constexpr std::uint32_t kLcLazyLoadDylib = 0x20;
constexpr std::uint32_t kLcCodeSignature = 0x1d;
constexpr std::uint32_t kLcLoadWeakDylib = 0x80000018;
constexpr std::uint32_t kLcRpath = 0x8000001c;
constexpr std::uint32_t kLcReexportDylib = 0x8000001f;
constexpr std::uint32_t kLcLoadUpwardDylib = 0x80000023;

constexpr std::int32_t kCpuArch64 = 0x01000000;
constexpr std::int32_t kCpuArch64_32 = 0x02000000;
constexpr std::int32_t kCpuX86 = 7;
constexpr std::int32_t kCpuArm = 12;
constexpr std::int32_t kCpuPowerPc = 18;

enum class ByteOrder { kLittle, kBig };

// Bounds-checked integer reads from a buffer in one byte order.
class View {
 public:
  View(std::span<const std::byte> bytes, ByteOrder order) : bytes_(bytes), order_(order) {}

  [[nodiscard]] std::optional<std::uint32_t> u32(std::size_t offset) const {
    return unsigned_(offset, 4);
  }
  [[nodiscard]] std::optional<std::uint64_t> u64(std::size_t offset) const {
    return unsigned_(offset, 8);
  }
  [[nodiscard]] std::size_t size() const { return bytes_.size(); }
  [[nodiscard]] std::span<const std::byte> bytes() const { return bytes_; }

 private:
  [[nodiscard]] std::optional<std::uint64_t> unsigned_(std::size_t offset, std::size_t n) const {
    if (offset > bytes_.size() || bytes_.size() - offset < n) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = order_ == ByteOrder::kBig ? offset + i : offset + n - 1 - i;
      value = (value << 8) | std::to_integer<std::uint64_t>(bytes_[at]);
    }
    return value;
  }

  std::span<const std::byte> bytes_;
  ByteOrder order_;
};

std::string archName(std::int32_t cpuType, std::int32_t cpuSubtype) {
  const std::int32_t subtype = cpuSubtype & 0x00ffffff;
  switch (cpuType) {
    case kCpuX86: return "i386";
    case kCpuX86 | kCpuArch64: return subtype == 8 ? "x86_64h" : "x86_64";
    case kCpuArm | kCpuArch64: return subtype == 2 ? "arm64e" : "arm64";
    case kCpuArm | kCpuArch64_32: return "arm64_32";
    case kCpuPowerPc: return "ppc";
    case kCpuPowerPc | kCpuArch64: return "ppc64";
    case kCpuArm: {
      static constexpr std::array<std::pair<std::int32_t, const char*>, 6> kArm{{{6, "armv6"},
                                                                                 {7, "armv5"},
                                                                                 {9, "armv7"},
                                                                                 {11, "armv7s"},
                                                                                 {12, "armv7k"},
                                                                                 {14, "armv6m"}}};
      for (const auto& [sub, name] : kArm) {
        if (sub == subtype) return name;
      }
      return "arm";
    }
    default: return "cputype " + std::to_string(cpuType);
  }
}

// The NUL-terminated string at `offset` inside one load command; kParse when
// the offset points into the command's fixed part or past its end.
Result<std::string> commandString(std::span<const std::byte> command, std::uint32_t offset,
                                  std::size_t fixedPart) {
  if (offset < fixedPart || offset >= command.size()) {
    return fail(Errc::kParse, "load command string out of range");
  }
  const char* begin = reinterpret_cast<const char*>(command.data()) + offset;
  const std::size_t room = command.size() - offset;
  return std::string(begin, strnlen(begin, room));
}

std::optional<DylibLoadKind> loadKindOf(std::uint32_t command) {
  switch (command) {
    case kLcLoadDylib: return DylibLoadKind::kLoad;
    case kLcLoadWeakDylib: return DylibLoadKind::kWeak;
    case kLcReexportDylib: return DylibLoadKind::kReexport;
    case kLcLazyLoadDylib: return DylibLoadKind::kLazy;
    case kLcLoadUpwardDylib: return DylibLoadKind::kUpward;
    default: return std::nullopt;
  }
}

struct SignatureLocation {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

// Fills the slice from one load command. LC_CODE_SIGNATURE only records where
// the signature is; it is read after all commands were walked.
Result<void> readCommand(const View& command, std::uint32_t type, MachOSlice& slice,
                         std::optional<SignatureLocation>& signature) {
  constexpr std::size_t kDylibFixed = 24;  // cmd, cmdsize, name, timestamp, two versions
  constexpr std::size_t kRpathFixed = 12;  // cmd, cmdsize, path
  if (auto kind = loadKindOf(type); kind || type == kLcIdDylib) {
    const auto nameOffset = command.u32(8);
    if (!nameOffset) return fail(Errc::kParse, "dylib command too short");
    auto name = commandString(command.bytes(), *nameOffset, kDylibFixed);
    if (!name) return std::unexpected(name.error());
    if (kind) {
      slice.loads.push_back({std::move(*name), *kind});
    } else {
      slice.installName = std::move(*name);
    }
  } else if (type == kLcRpath) {
    const auto pathOffset = command.u32(8);
    if (!pathOffset) return fail(Errc::kParse, "rpath command too short");
    auto path = commandString(command.bytes(), *pathOffset, kRpathFixed);
    if (!path) return std::unexpected(path.error());
    slice.rpaths.push_back(std::move(*path));
  } else if (type == kLcCodeSignature) {
    const auto offset = command.u32(8);
    const auto size = command.u32(12);
    if (!offset || !size) return fail(Errc::kParse, "code signature command too short");
    signature = SignatureLocation{*offset, *size};
  }
  return {};
}

Result<std::optional<std::string>> readEntitlements(const ByteSource& source,
                                                    std::uint64_t sliceOffset,
                                                    std::uint64_t sliceSize,
                                                    SignatureLocation signature) {
  if (signature.size > kMaxSignatureBytes || signature.offset > sliceSize ||
      sliceSize - signature.offset < signature.size) {
    return fail(Errc::kParse, "code signature outside its slice");
  }
  auto bytes = source.read(sliceOffset + signature.offset, signature.size);
  if (!bytes) return std::unexpected(bytes.error());
  return entitlementsXmlOf(*bytes);
}

Result<MachOSlice> readSlice(const ByteSource& source, std::uint64_t offset, std::uint64_t size) {
  constexpr std::size_t kHeader32 = 28;
  constexpr std::size_t kHeader64 = 32;
  auto magicBytes = source.read(offset, 4);
  if (!magicBytes || size < kHeader32) return fail(Errc::kParse, "not a Mach-O file");
  const auto littleMagic = View(*magicBytes, ByteOrder::kLittle).u32(0);
  const auto bigMagic = View(*magicBytes, ByteOrder::kBig).u32(0);
  const ByteOrder order =
      (littleMagic == kMagic32 || littleMagic == kMagic64) ? ByteOrder::kLittle : ByteOrder::kBig;
  const std::uint32_t magic = order == ByteOrder::kLittle ? *littleMagic : *bigMagic;
  if (magic != kMagic32 && magic != kMagic64) return fail(Errc::kParse, "not a Mach-O file");
  const std::size_t headerSize = magic == kMagic64 ? kHeader64 : kHeader32;
  if (size < headerSize) return fail(Errc::kParse, "Mach-O header truncated");
  auto headerBytes = source.read(offset, headerSize);
  if (!headerBytes) return fail(Errc::kParse, "Mach-O header truncated");
  const View header(*headerBytes, order);
  const std::uint32_t ncmds = *header.u32(16);
  const std::uint32_t sizeofcmds = *header.u32(20);
  if (sizeofcmds > kMaxLoadCommandBytes || sizeofcmds > size - headerSize) {
    return fail(Errc::kParse, "load commands run past the slice");
  }
  auto commandBytes = source.read(offset + headerSize, sizeofcmds);
  if (!commandBytes) return fail(Errc::kParse, "load commands truncated");
  const View commands(*commandBytes, order);

  MachOSlice slice;
  slice.arch = archName(static_cast<std::int32_t>(*header.u32(4)),
                        static_cast<std::int32_t>(*header.u32(8)));
  std::optional<SignatureLocation> signature;
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < ncmds; ++i) {
    const auto type = commands.u32(at);
    const auto commandSize = commands.u32(at + 4);
    if (!type || !commandSize || *commandSize < 8 || *commandSize > commands.size() - at) {
      return fail(Errc::kParse, "load command " + std::to_string(i) + " malformed");
    }
    const View command(commands.bytes().subspan(at, *commandSize), order);
    if (auto read = readCommand(command, *type, slice, signature); !read) {
      return std::unexpected(read.error());
    }
    at += *commandSize;
  }
  if (signature) {
    auto entitlements = readEntitlements(source, offset, size, *signature);
    if (!entitlements) return std::unexpected(entitlements.error());
    slice.entitlementsXml = std::move(*entitlements);
  }
  return slice;
}

struct FatEntry {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

Result<std::vector<FatEntry>> readFatTable(const ByteSource& source, std::uint32_t magic) {
  const std::size_t entrySize = magic == kFatMagic64 ? 32 : 20;
  auto countBytes = source.read(4, 4);
  if (!countBytes) return fail(Errc::kParse, "universal header truncated");
  const std::uint32_t count = *View(*countBytes, ByteOrder::kBig).u32(0);
  if (count == 0 || count > kMaxFatArchs) return fail(Errc::kParse, "not a universal file");
  auto tableBytes = source.read(8, count * entrySize);
  if (!tableBytes) return fail(Errc::kParse, "universal table truncated");
  const View table(*tableBytes, ByteOrder::kBig);
  std::vector<FatEntry> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = i * entrySize;
    FatEntry entry = magic == kFatMagic64 ? FatEntry{*table.u64(at + 8), *table.u64(at + 16)}
                                          : FatEntry{*table.u32(at + 8), *table.u32(at + 12)};
    if (entry.offset > source.size() || source.size() - entry.offset < entry.size) {
      return fail(Errc::kParse, "universal slice " + std::to_string(i) + " past the file end");
    }
    entries.push_back(entry);
  }
  return entries;
}

// A file opened read-only and read with pread, so only the parts asked for
// are ever read and a file that shrinks underneath only makes read() fail.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~FileByteSource() override { close(fd_); }
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  [[nodiscard]] std::uint64_t size() const override { return size_; }
  [[nodiscard]] Result<std::vector<std::byte>> read(std::uint64_t offset,
                                                    std::size_t count) const override {
    if (offset > size_ || size_ - offset < count) return fail(Errc::kParse, "read past file end");
    std::vector<std::byte> bytes(count);
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n =
          pread(fd_, bytes.data() + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::unexpected(errnoError("read", errno));
      if (n == 0) return fail(Errc::kParse, "file shorter than expected");
      done += static_cast<std::size_t>(n);
    }
    return bytes;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

}  // namespace

Result<std::vector<std::byte>> MemoryByteSource::read(std::uint64_t offset,
                                                      std::size_t count) const {
  if (offset > bytes_.size() || bytes_.size() - offset < count) {
    return fail(Errc::kParse, "read past the end");
  }
  const auto part = bytes_.subspan(offset, count);
  return std::vector<std::byte>(part.begin(), part.end());
}

Result<std::vector<MachOSlice>> readMachO(const ByteSource& source) {
  auto magicBytes = source.read(0, 4);
  if (!magicBytes) return fail(Errc::kParse, "not a Mach-O file");
  const std::uint32_t magic = *View(*magicBytes, ByteOrder::kBig).u32(0);
  if (magic != kFatMagic && magic != kFatMagic64) {
    auto slice = readSlice(source, 0, source.size());
    if (!slice) return std::unexpected(slice.error());
    return std::vector<MachOSlice>{std::move(*slice)};
  }
  auto entries = readFatTable(source, magic);
  if (!entries) return std::unexpected(entries.error());
  std::vector<MachOSlice> slices;
  for (const FatEntry& entry : *entries) {
    auto slice = readSlice(source, entry.offset, entry.size);
    if (!slice) return std::unexpected(slice.error());
    slices.push_back(std::move(*slice));
  }
  return slices;
}

Result<std::vector<MachOSlice>> readMachOFile(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errnoError("open " + path.string(), errno));
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return fail(Errc::kParse, path.string() + " is not a regular file");
  }
  const FileByteSource source(fd, static_cast<std::uint64_t>(info.st_size));
  auto slices = readMachO(source);
  if (!slices) return fail(slices.error().code, path.string() + ": " + slices.error().detail);
  return slices;
}

}  // namespace brimvale::apps
