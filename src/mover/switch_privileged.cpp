#include "mover/switch_privileged.h"

#include <sys/xattr.h>

#include <cerrno>
#include <chrono>
#include <ostream>

#include "platform/app_relocation_tool_steps.h"

namespace brimvale::mover {
namespace {

// The administrator may take a while to type the password.
constexpr auto kPrivilegedDeadline = std::chrono::minutes(5);

std::string linkList(const std::vector<LinkUpdate>& updates) {
  std::string list;
  for (const auto& u : updates) list += (list.empty() ? "" : ", ") + u.link.string();
  return list;
}

// Marks the link; an attribute the file system keeps on no link is no failure.
bool markRelocated(const std::filesystem::path& link, const std::string& value) {
#ifdef __APPLE__
  const int set = setxattr(link.c_str(), std::string(kRelocatedAttribute).c_str(), value.data(),
                           value.size(), 0, XATTR_NOFOLLOW);
#else
  const int set = lsetxattr(link.c_str(), std::string(kRelocatedAttribute).c_str(), value.data(),
                            value.size(), 0);
#endif
  return set == 0 || errno == EPERM || errno == ENOTSUP;
}

}  // namespace

std::string singleQuoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string adminShellCommand(const std::vector<LinkUpdate>& updates) {
  std::string command;
  for (const auto& u : updates) {
    const std::string target = singleQuoted(u.newTarget.string());
    const std::string link = singleQuoted(u.link.string());
    if (!command.empty()) command += " && ";
    command += "/bin/ln -sfh " + target + " " + link + " && /usr/bin/xattr -w " +
               singleQuoted(kRelocatedAttribute) + " " + target + " " + link;
  }
  return command;
}

ProcessInvocation adminSessionInvocation(const std::string& command) {
  return platform::adminSessionInvocation(command, kPrivilegedDeadline);
}

ProcessInvocation pkexecInvocation(const std::string& pkexec, const std::string& selfProgram,
                                   const std::vector<LinkUpdate>& updates) {
  ProcessInvocation run{.path = pkexec,
                        .args = {selfProgram, std::string(kRelinkPrivilegedCommand)},
                        .deadline = kPrivilegedDeadline};
  for (const auto& u : updates) {
    run.args.push_back(u.link.string());
    run.args.push_back(u.newTarget.string());
  }
  return run;
}

PrivilegedRelinker makePrivilegedRelinker(ProcessRunner run, std::string pkexec,
                                          std::string selfProgram) {
  return [run = std::move(run), pkexec = std::move(pkexec),
          self = std::move(selfProgram)](const std::vector<LinkUpdate>& updates) -> Result<void> {
#ifdef __APPLE__
    const ProcessInvocation invocation = adminSessionInvocation(adminShellCommand(updates));
#else
    if (pkexec.empty()) {
      return fail(Errc::kUnavailable,
                  "these links are in folders only an administrator may change, and this "
                  "computer has no pkexec to ask for that permission: " +
                      linkList(updates) + ". Nothing was changed");
    }
    const ProcessInvocation invocation = pkexecInvocation(pkexec, self, updates);
#endif
    ProcessResult result = run(invocation);
    if (result.succeeded()) return {};
    return fail(Errc::kToolFailed, "the permission request " + result.describe() + " (" +
                                       linkList(updates) + ")" +
                                       (result.err.empty() ? "" : ": " + result.err));
  };
}

int relinkPrivileged(const std::vector<std::string>& args, std::ostream& err, FileOperations& files,
                     const DiagnosticsLog& diagnostics) {
  if (args.empty() || args.size() % 2 != 0) {
    err << "Give each link followed by its new target. Nothing was changed.\n";
    return 2;
  }
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const LinkUpdate update{args[i], args[i + 1]};
    if (!update.link.is_absolute() || !update.newTarget.is_absolute()) {
      err << "Links and targets must be absolute paths. Nothing was changed.\n";
      return 2;
    }
    // Only links are replaced: with administrator rights anything else could be lost.
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(update.link, ec))) {
      err << update.link.string() << " is not a link, so it was left alone. Nothing was changed.\n";
      return 2;
    }
  }
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const LinkUpdate update{args[i], args[i + 1]};
    if (swapLink(update, files, diagnostics) != SwapStage::kDone ||
        !markRelocated(update.link, update.newTarget.string())) {
      err << "Couldn't update the link at " << update.link.string()
          << ". It still works; the links before it point at the new drive.\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace brimvale::mover
