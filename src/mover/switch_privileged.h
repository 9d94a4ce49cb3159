// The switch's privileged step: links in folders only an administrator may
// change are re-pointed together, through the administrator session on macOS
// and through one Brimvale helper run under pkexec on Linux.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"
#include "mover/switch_links.h"
#include "platform/relocation_mark.h"

namespace brimvale::mover {

// The extended attribute that marks a re-pointed link; its value is the
// link's new target.
inline constexpr std::string_view kRelocatedAttribute = platform::kRelocationMarkAttribute;

// The hidden `brimvale` subcommand the Linux privileged step runs.
inline constexpr std::string_view kRelinkPrivilegedCommand = "relink-privileged";

// `text` in single quotes, a single quote written as '\''.
[[nodiscard]] std::string singleQuoted(std::string_view text);

// The administrator shell command of the macOS backend: per link
// "/bin/ln -sfh 'NEW' 'LINK' && /usr/bin/xattr -w 'com.brimvale.relocated'
// 'NEW' 'LINK'", the links joined with " && ".
[[nodiscard]] std::string adminShellCommand(const std::vector<LinkUpdate>& updates);

// osascript running `command` with administrator privileges.
[[nodiscard]] ProcessInvocation adminSessionInvocation(const std::string& command);

// pkexec running this program's hidden helper: LINK NEW-TARGET pairs.
[[nodiscard]] ProcessInvocation pkexecInvocation(const std::string& pkexec,
                                                 const std::string& selfProgram,
                                                 const std::vector<LinkUpdate>& updates);

// Re-points all `updates` with administrator rights; the error's detail is
// the sentence shown after "couldn't update protected app links".
using PrivilegedRelinker = std::function<Result<void>(const std::vector<LinkUpdate>&)>;

// The relinker of this platform. On Linux an empty `pkexec` (none installed)
// refuses at once, naming the links and changing nothing.
[[nodiscard]] PrivilegedRelinker makePrivilegedRelinker(ProcessRunner run, std::string pkexec,
                                                        std::string selfProgram);

// The helper itself (already privileged): `args` are LINK NEW-TARGET pairs;
// each link is swapped as swapLink does and marked with kRelocatedAttribute
// (a file system that keeps no attributes on links is no failure). Stops at
// the first link that fails; the exit status: 0, 1 on a failure, 2 for
// arguments that are not pairs of absolute paths.
[[nodiscard]] int relinkPrivileged(const std::vector<std::string>& args, std::ostream& err,
                                   FileOperations& files, const DiagnosticsLog& diagnostics);

}  // namespace brimvale::mover
