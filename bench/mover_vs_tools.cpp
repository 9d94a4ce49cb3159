// The folder mover against the tools a user would otherwise run, on one tree
// of many mixed-size files between tmpfs folders: thorough hashing against
// sha256sum, fast verification against an rsync dry run, and a whole
// relocation of that tree and of one of 100,000 small files against rsync run
// with the mover's own arguments (bare rsync for reference). The hashing is also
// set against this machine's practical limit, measured in the same run: reading and hashing one
// file of the tree's size, twice, on two threads. Usage: mover_vs_tools [runs [files [MiB
// [parts]]]]   parts: any of "abcd" (default all)
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "mover/rsync_support.h"
#include "mover/verification.h"

namespace fs = std::filesystem;
using namespace brimvale;
using namespace brimvale::bench;

namespace {

// Mixed sizes: most files small, a few large, summing to about `mib` MiB.
void makeTree(const fs::path& root, int files, std::uint64_t mib) {
  std::mt19937_64 rng(42);
  const std::uint64_t total = mib << 20;
  std::vector<std::uint64_t> sizes(static_cast<std::size_t>(files));
  std::uint64_t sum = 0;
  for (auto& s : sizes) {
    s = (rng() % 10 == 0) ? 64 * 1024 + rng() % (1 << 20) : 512 + rng() % 16384;
    sum += s;
  }
  std::string buffer;
  for (int i = 0; i < files; ++i) {
    const std::uint64_t size = sizes[static_cast<std::size_t>(i)] * total / sum;
    buffer.resize(size);
    for (std::size_t b = 0; b < size; b += 8) buffer[b] = static_cast<char>(rng());
    const fs::path p = root / ("d" + std::to_string(i % 100)) / ("f" + std::to_string(i) + ".bin");
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(buffer.data(), static_cast<std::streamsize>(size));
  }
}

// `files` files of 100 to 4,000 bytes, 1,000 to a folder.
void makeSmallTree(const fs::path& root, int files) {
  std::mt19937_64 rng(43);
  std::string buffer(4000, 'x');
  for (int i = 0; i < files; ++i) {
    const fs::path p = root / ("d" + std::to_string(i / 1000)) / ("s" + std::to_string(i));
    if (i % 1000 == 0) fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(buffer.data(), static_cast<std::streamsize>(100 + rng() % 3900));
  }
}

// This machine is a virtual one that hands freed memory back to its host
// after a moment; whoever next writes into it pays for the host to supply it
// again, which made the two sides of a pair trade several seconds back and
// forth depending on who ran after a large delete. Touching enough memory
// right before each timed run gives both sides the same start.
void warmFreeMemory() {
  const std::size_t bytes = std::size_t{5} << 30;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return;
  for (std::size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(p)[i] = 1;
  munmap(p, bytes);
}

template <class F>
double timeIt(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Reads and hashes `path` whole with large aligned reads, as fast as this
// machine allows one thread to.
void hashWhole(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  constexpr std::size_t kBlock = 1u << 20;
  void* buffer = std::aligned_alloc(4096, kBlock);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  for (ssize_t n; (n = read(fd, buffer, kBlock)) > 0;)
    EVP_DigestUpdate(ctx, buffer, static_cast<std::size_t>(n));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  std::free(buffer);
  close(fd);
}

std::vector<std::string> filesOf(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) out.push_back(e.path().string());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  const int files = argc > 2 ? std::atoi(argv[2]) : 50000;
  const std::uint64_t mib = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2048;
  const std::string parts = argc > 4 ? argv[4] : "abcd";
  const auto wanted = [&](char part) { return parts.find(part) != std::string::npos; };
  // A tmpfs of its own inside the private mount namespace bench/run provides;
  // it also plays the drive.
  const fs::path base = brimvale::bench::scratchFolder("mover");
  fs::create_directories(base);
  if (mount("tmpfs", base.c_str(), "tmpfs", 0, "size=7g") != 0) {
    std::perror("mount tmpfs");
    return 1;
  }
  const fs::path src = base / "src", dst = base / "dst";
  std::printf("tree: %d files, %llu MiB\n", files, static_cast<unsigned long long>(mib));
  makeTree(src, files, mib);
  const std::string rsync = "/usr/bin/rsync";
  timeOnce({.path = rsync, .args = {"-aHEX", src.string() + "/", dst.string() + "/"}});

  std::vector<double> ours, peer, limit, merged;
  const fs::path whole = base / "whole.bin";
  if (wanted('a')) {
    std::string block(1u << 20, '\0');
    std::mt19937_64 rng(7);
    std::ofstream out(whole, std::ios::binary);
    for (std::uint64_t m = 0; m < mib; ++m) {
      for (std::size_t b = 0; b < block.size(); b += 8) block[b] = static_cast<char>(rng());
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const auto srcFiles = filesOf(src), dstFiles = filesOf(dst);
  for (int r = 0; wanted('a') && r < runs; ++r) {
    ours.push_back(timeIt([&] {
      const auto digests = mover::treeDigests(src, dst, {}, {});
      if (!digests.src || !digests.dst) std::abort();
    }));
    merged.push_back(timeIt([&] {
      const auto check =
          mover::compareCounterparts(src, dst, mover::MoveConflictPolicy::kMerge, {}, {});
      if (!check.dstDigest || !check.differing.empty()) std::abort();
    }));
    limit.push_back(timeIt([&] {
      auto a = std::async(std::launch::async, [&] { hashWhole(whole); });
      hashWhole(whole);
      a.get();
    }));
    peer.push_back(timeIt([&] {
      for (const auto* list : {&srcFiles, &dstFiles}) {
        for (std::size_t i = 0; i < list->size(); i += 2000) {
          std::vector<std::string> args(
              list->begin() + static_cast<long>(i),
              list->begin() + static_cast<long>(std::min(list->size(), i + 2000)));
          ProcessInvocation invocation{.path = "/usr/bin/sha256sum", .args = std::move(args)};
          invocation.captureLimit = 1 << 10;
          timeOnce(invocation);
        }
      }
    }));
  }
  if (wanted('a')) {
    std::printf("== (a) thorough hashing of both trees (target <= 0.5)\n");
    reportRatio("treeDigest x2", ours, "sha256sum", peer, 0.5);
    std::printf("-- against the machine's limit (one %llu MiB file, twice, two threads):\n",
                static_cast<unsigned long long>(mib));
    reportRatio("treeDigest x2", ours, "limit", limit, 1 / 0.85);
    std::printf("share of the limit: %.0f%% (target >= 85%%)\n",
                100 * median(limit) / median(ours));
    std::printf("-- the per-file comparison merge uses, against the same limit:\n");
    reportRatio("compareCounterparts", merged, "limit", limit, 1 / 0.85);
    std::printf("share of the limit: %.0f%% (target >= 85%%)\n",
                100 * median(limit) / median(merged));
    fs::remove(whole);
  }

  ours.clear();
  peer.clear();
  for (int r = 0; wanted('b') && r < runs; ++r) {
    ours.push_back(timeIt([&] {
      if (!mover::quickCompareTrees(src, dst)) std::abort();
    }));
    peer.push_back(
        timeOnce({.path = rsync,
                  .args = {"-an", "--itemize-changes", src.string() + "/", dst.string() + "/"}}));
  }
  if (wanted('b')) {
    std::printf("== (b) fast verification (target <= 1.0)\n");
    reportRatio("quickCompareTrees", ours, "rsync -an -i", peer, 1.0);
  }

  // (c) and (d): `brimvale move` of a tree against bare rsync of the same.
  // The drive is a folder of the same tmpfs bound at a mount point of its
  // own, so the relocated copy can be renamed back for the next run.
  const fs::path home = base / "home", driveStore = base / "drive";
  const fs::path drive = brimvale::bench::scratchFolder("mover-drive");
  fs::create_directories(driveStore);
  fs::create_directories(drive);
  if (mount(driveStore.c_str(), drive.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    std::perror("bind the drive");
    return 1;
  }
  fs::create_directories(home / ".brimvale" / "state");
  (void)writeFileAtomically(home / ".brimvale" / "brim-vale.conf",
                            "NVMe=\"" + drive.string() + "\"\n");
  (void)writeFileAtomically(home / ".brimvale" / "state" / "user-defaults.json",
                            "{\"brimvale.mover.recentWriteGuardEnabled\": false}");
  const auto moverRsync = mover::RsyncSupport::probe({rsync}, brimvale::runProcess);
  if (!moverRsync) {
    std::fprintf(stderr, "no usable rsync at %s\n", rsync.c_str());
    return 1;
  }
  const fs::path copied = driveStore / "peer";
  // The peer is the copy tool run with exactly the arguments the mover gives
  // it, its output read the way the mover reads it: the figure is what the
  // mover adds around its copy. Bare `rsync -aHEX` is shown for reference.
  const auto peerCopy = [&](const fs::path& tree) {
    ProcessInvocation copy{.path = rsync,
                           .args = moverRsync->arguments(mover::MoveConflictPolicy::kMerge,
                                                         tree.string(), copied.string())};
    copy.onStdout = [](std::string_view) {};
    copy.outputPacing = std::chrono::milliseconds(25);
    copy.captureLimit = 0;
    return copy;
  };
  std::printf("peer: %s\n", mover::commandLineText(rsync, peerCopy("<tree>").args).c_str());
  auto relocation = [&](const fs::path& tree, const std::string& label, double target) {
    std::vector<double> moved, peer, bare;
    for (int r = 0; r < runs; ++r) {
      const fs::path item = home / (label + std::to_string(r));
      fs::remove_all(copied);
      fs::rename(tree, item);
      warmFreeMemory();
      moved.push_back(timeOnce({.path = BRIMVALE_PATH,
                                .args = {"move", item.string(), "--verify", "fast", "--yes"},
                                .envAdditions = {{"HOME", home.string()}}}));
      // Put the tree back (the relocated copy) for the peer and the next run.
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(driveStore, ec)) {
        if (e.path().filename().string().starts_with("BRIM-")) {
          fs::rename(e.path() / "Relocated" / item.filename(), tree);
          fs::remove_all(e.path());
        }
      }
      fs::remove_all(item);
      warmFreeMemory();
      peer.push_back(timeOnce(peerCopy(tree)));
      fs::remove_all(copied);
      warmFreeMemory();
      bare.push_back(
          timeOnce({.path = rsync, .args = {"-aHEX", tree.string() + "/", copied.string() + "/"}}));
    }
    fs::remove_all(copied);
    reportRatio("brimvale move", moved, "rsync, mover's args", peer, target);
    std::printf("-- against bare rsync, same series:\n");
    reportRatio("brimvale move", moved, "rsync -aHEX", bare, std::nullopt);
    std::printf("-- the mover's arguments themselves against bare rsync:\n");
    reportRatio("rsync, mover's args", peer, "rsync -aHEX", bare, std::nullopt);
  };
  fs::remove_all(dst);
  if (wanted('c')) {
    std::printf("== (c) relocation with fast verification (target <= 1.05)\n");
    relocation(src, "item", 1.05);
  }
  if (wanted('d')) {
    fs::remove_all(src);
    const fs::path small = base / "small";
    makeSmallTree(small, 100000);
    std::printf(
        "== (d) relocation of 100,000 small files with fast verification "
        "(target <= 1.20)\n");
    relocation(small, "small", 1.20);
  }
  umount2(drive.c_str(), MNT_DETACH);
  umount2(base.c_str(), MNT_DETACH);
  return 0;
}
