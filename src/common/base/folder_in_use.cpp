#include "common/base/folder_in_use.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <thread>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"

namespace brimvale {
namespace fs = std::filesystem;

std::vector<FolderInUseEntry> parseInUseOutput(
    std::string_view output, int ownPid, const std::function<std::string(int)>& executableOf) {
  std::vector<std::pair<int, std::string>> processes;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line[0] == 'p') {
      try {
        processes.emplace_back(std::stoi(std::string(line.substr(1))), "");
      } catch (const std::exception&) {
      }
    } else if (line[0] == 'c' && !processes.empty()) {
      processes.back().second = std::string(line.substr(1));
    }
  }
  std::vector<FolderInUseEntry> out;
  std::map<std::string, std::size_t> byId;
  for (const auto& [pid, command] : processes) {
    if (pid == ownPid) continue;
    std::string exe = executableOf ? executableOf(pid) : std::string();
    std::string id = exe.empty() ? "pid-" + std::to_string(pid) : exe;
    auto [it, fresh] = byId.emplace(id, out.size());
    if (fresh) {
      out.push_back(
          {id, command.empty() ? "Process " + std::to_string(pid) : command, std::nullopt, {}});
    }
    auto& entry = out[it->second];
    if (std::find(entry.pids.begin(), entry.pids.end(), pid) == entry.pids.end())
      entry.pids.push_back(pid);
  }
  return out;
}

FolderInUseProbe::FolderInUseProbe(ProcessRunner run, std::string lsofPath,
                                   std::chrono::milliseconds limit)
    : run_(std::move(run)), lsofPath_(std::move(lsofPath)), limit_(limit) {}

FolderInUseProbe FolderInUseProbe::procScanner(fs::path procRoot, std::chrono::milliseconds limit) {
  FolderInUseProbe probe({}, "", limit);  // reads the table, runs nothing
  probe.procRoot_ = std::move(procRoot);
  return probe;
}

FolderInUseProbe FolderInUseProbe::forThisSystem(ProcessRunner run) {
  if (pathExists("/proc/self/fd").value_or(false)) return procScanner();
  return FolderInUseProbe(std::move(run), findExecutable("lsof"));
}

std::vector<FolderInUseEntry> FolderInUseProbe::scanProc(const std::string& folder) const {
  const fs::path proc = *procRoot_;
  const auto canonical = weaklyCanonical(folder);
  const std::string root = canonical ? canonical->string() : folder;
  auto inside = [&](std::string_view p) {
    return p == root || (p.size() > root.size() && p.starts_with(root) && p[root.size()] == '/');
  };
  auto linkInside = [&](const fs::path& link) {
    const auto target = readSymlink(link);
    return target && inside(target->native());
  };
  // Read in one go and searched for the folder's name, so only the few lines
  // naming it are looked at; a path starts at a line's first '/'.
  auto mapsInside = [&](const fs::path& maps) {
    const std::string text = readFile(maps).value_or(std::string());
    for (auto at = text.find(root); at != std::string::npos; at = text.find(root, at + 1)) {
      const auto lineStart = text.rfind('\n', at) + 1;  // npos + 1 is 0
      const auto lineEnd = std::min(text.find('\n', at), text.size());
      const std::string_view line = std::string_view(text).substr(lineStart, lineEnd - lineStart);
      const auto slash = line.find('/');
      if (slash == at - lineStart && inside(line.substr(slash))) return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + limit_;
  // Same record format as the lsof probe, so grouping stays in one place.
  std::string records;
  std::error_code ec;
  for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
    if (std::chrono::steady_clock::now() > deadline) break;
    const std::string name = it->path().filename().string();
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const fs::path dir = it->path();
    bool uses = linkInside(dir / "cwd") || linkInside(dir / "root") || linkInside(dir / "exe");
    if (!uses) {
      std::error_code fe;
      for (fs::directory_iterator fd(dir / "fd", fe), fdEnd; !fe && fd != fdEnd; fd.increment(fe)) {
        if (linkInside(fd->path())) {
          uses = true;
          break;
        }
      }
    }
    if (!uses) uses = mapsInside(dir / "maps");
    if (!uses) continue;
    std::string command;
    std::ifstream comm(dir / "comm");
    std::getline(comm, command);
    records += "p" + name + "\nc" + command + "\n";
  }
  return parseInUseOutput(records, static_cast<int>(getpid()), [&](int pid) {
    return readSymlink(proc / std::to_string(pid) / "exe").value_or(fs::path()).string();
  });
}

std::vector<FolderInUseEntry> FolderInUseProbe::scan(const std::string& folder) const {
  if (procRoot_) return scanProc(folder);
  ProcessInvocation invocation;
  invocation.path = lsofPath_;
  invocation.args = {"+D", folder, "-F", "pc"};
  invocation.deadline = limit_;
  invocation.killGrace = std::chrono::milliseconds(500);
  ProcessResult r = run_(invocation);
  return parseInUseOutput(r.out, static_cast<int>(getpid()), [](int pid) {
    return readSymlink("/proc/" + std::to_string(pid) + "/exe").value_or(fs::path()).string();
  });
}

bool waitUntilUnused(const FolderInUseProbe& probe, const std::string& folder,
                     std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!probe.scan(folder).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

std::string describeInUse(const std::vector<FolderInUseEntry>& entries) {
  std::string text;
  for (const auto& entry : entries) {
    if (!text.empty()) text += ", ";
    text += entry.displayName + " (pid ";
    for (std::size_t i = 0; i < entry.pids.size(); ++i)
      text += (i ? ", " : "") + std::to_string(entry.pids[i]);
    text += ")";
  }
  return text;
}

}  // namespace brimvale
