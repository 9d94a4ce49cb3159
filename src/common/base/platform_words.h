// The words user-facing texts use to name the operating system and its parts:
// the macOS build keeps its long-standing wording, the Linux build says what a
// Linux user calls the same thing. The table is picked when the program is built.
#pragma once

#include <string>
#include <string_view>

namespace brimvale {

struct PlatformWords {
  std::string_view computer;           // "Mac" / "computer", as in "your Mac"
  std::string_view system;             // the operating system's own name
  std::string_view userService;        // how the per-user service manager's job is called
  std::string_view serviceDefinition;  // the file that defines that job
  std::string_view fileManager;        // the program that shows folders, as in "in Finder"
  std::string_view snapshotTool;       // the local snapshot tool, in texts
  std::string_view serviceTitle;       // the service's name in report banners
  std::string_view productName;        // the product's name in notifications and verdicts
  // The file systems a drive should use, in advice sentences, and why a
  // blocked one is refused (follows "Filesystem {fs} is not supported").
  std::string_view recommendedFilesystem;
  std::string_view recommendedFilesystems;
  std::string_view unsupportedFilesystemWhy;
  // Defaults of the drive-assessment lists (comma-separated, as configured).
  std::string_view allowedFilesystems;
  std::string_view warnFilesystems;
  std::string_view blockFilesystems;
  // Why the service may be refused a rule's source folder, and what to do.
  std::string_view folderAccessNote;
  std::string_view permissionDeniedAdvice;
  // The folder-access check's title and the preview's legend of its statuses.
  std::string_view accessCheckTitle;
  std::string_view accessLegend;
  // The free-space hint's second way to reclaim a large Documents folder.
  std::string_view documentsCloudHint;
  // Follows "Expected one of: {tools}" when no cloud eviction tool is there.
  std::string_view evictionToolMissing;
  // The command that starts the per-user service, as a failed start names it.
  std::string_view serviceStartCommand;
  // Whether sizes in sentences are whole gigabytes ("60 GB") rather than the
  // size in the unit that suits it ("512 MB", "1.5 TB").
  bool wholeGigabytes;
  // The sentence that tells how to install the service, ending errors that a fresh install fixes.
  std::string_view installAdvice;
  // Whether local snapshots can be listed, deleted and thinned at all.
  bool hasLocalSnapshots;
  // Follows "{userService} written to {path}" in the installer's output.
  std::string_view serviceDefinitionNote;
  // What the user runs to lay out a drive, and to bring every relocated
  // folder home, as advice sentences name them.
  std::string_view prepDriveCommand;
  std::string_view panicRecoveryCommand;
  // The disk the system and the home folder live on, as in "free on the startup disk".
  std::string_view startupDisk;
  // What to do about DENY rows of the folder-access check.
  std::string_view accessFix;
  // The service subcommand that makes cloud files online-only.
  std::string_view cloudEvictionCommand;
  // Where to read the service's diagnostics, before its log file is named.
  std::string_view logViewerHint;
  // The watch loop's log lines when the drive is missing at its first look:
  // how the system unlocks and mounts it, and why that may have failed.
  std::string_view startupMountAttempt;
  std::string_view startupMountFailed;
  // Follows "{userService} loaded; " when the service was loaded but not started.
  std::string_view serviceStartRetry;
};

inline constexpr PlatformWords kMacWords{
    .computer = "Mac",
    .system = "macOS",
    .userService = "LaunchAgent",
    .serviceDefinition = "plist",
    .fileManager = "Finder",
    .snapshotTool = "tmutil",
    .serviceTitle = "tarnwick",
    .productName = "Tarnwick",
    .recommendedFilesystem = "APFS",
    .recommendedFilesystems = "APFS or HFS+",
    .unsupportedFilesystemWhy = " (network or FAT-class filesystems break symlinks).",
    .allowedFilesystems = "APFS,Mac OS Extended,Journaled HFS+",
    .warnFilesystems = "exFAT",
    .blockFilesystems = "MS-DOS FAT32,SMB,AFP,NFS",
    .folderAccessNote =
        "The daemon runs from a LaunchAgent and does NOT inherit your\n"
        "Brimvale.app FDA grant. macOS gates protected folders\n"
        "behind TCC; without a grant on /bin/bash the daemon can't\n"
        "list them and rules silently no-op.\n",
    .permissionDeniedAdvice =
        "Grant Full Disk Access to /bin/bash (or the daemon's interpreter) in System "
        "Settings \u2192 Privacy & Security \u2192 Full Disk Access. macOS sandboxes "
        "protected user folders (Documents, Desktop, Downloads, Library) behind TCC; the "
        "daemon runs from LaunchAgent and inherits no app-level FDA grant.",
    .accessCheckTitle = "TCC read-access check",
    .accessLegend =
        "OK = readable; DENY = TCC blocked (grant FDA\n"
        "to /bin/bash); MISS = path doesn't exist on this machine.\n",
    .documentsCloudHint =
        "      b) If your Documents are iCloud-synced (Desktop & Documents toggle\n"
        "         in System Settings \u2192 Apple Account \u2192 iCloud Drive), toggle\n"
        "         \"Optimise Mac Storage\" on. macOS will evict downloaded copies\n"
        "         the next time space pressure rises. NOTE: Brimvale can't\n"
        "         do this automatically \u2014 macOS 14+ removed the brctl evict\n"
        "         subcommand the daemon used to drive.\n",
    .evictionToolMissing =
        "     Both ship with macOS \u2014 if missing the install is damaged.\n"
        "     You can still right-click files in Finder \u2192 Remove Download.\n",
    .serviceStartCommand = "launchctl kickstart",
    .wholeGigabytes = true,
    .installAdvice = "Run install-service.sh.",
    .hasLocalSnapshots = true,
    .serviceDefinitionNote = " (RunAtLoad=false, KeepAlive=false; app owns lifecycle)",
    .prepDriveCommand = "2-prep-nvme.sh",
    .panicRecoveryCommand = "'6-panic-recovery.sh'",
    .startupDisk = "startup disk",
    .accessFix =
        "\nIf you see DENY rows above:\n"
        "  1. Open System Settings \u2192 Privacy & Security \u2192 Full Disk Access\n"
        "  2. Click +, navigate to /bin/bash, add it, toggle ON\n"
        "  3. Run `~/.brimvale/brim-vale.sh tcc-check` again to confirm\n",
    .cloudEvictionCommand = "optimize-icloud",
    .logViewerHint = "Check Console.app or ",
    .startupMountAttempt =
        "NVMe not mounted at startup \u2014 attempting to mount via keychain-stored passphrase.",
    .startupMountFailed =
        "Startup mount failed \u2014 drive may not be plugged in, or keychain "
        "doesn't have the passphrase yet.",
    .serviceStartRetry = "SelfHealAudit will retry kickstart.",
};

// FAT-class, NTFS (kernel or FUSE) and network file systems cannot hold
// symbolic links, Unix modes or extended attributes faithfully, so they block.
inline constexpr PlatformWords kLinuxWords{
    .computer = "computer",
    .system = "Linux",
    .userService = "user service",
    .serviceDefinition = "definition",
    .fileManager = "the file manager",
    .snapshotTool = "snapshot tool",
    .serviceTitle = "brim-vale",
    .productName = "Brimvale",
    .recommendedFilesystem = "ext4",
    .recommendedFilesystems = "ext4, btrfs, xfs or f2fs",
    .unsupportedFilesystemWhy =
        ": it cannot hold symbolic links, file modes or attributes. Choose a drive formatted as "
        "ext4, btrfs, xfs or f2fs, or format this one as ext4 (formatting erases it).",
    .allowedFilesystems = "ext4,btrfs,xfs,f2fs",
    .warnFilesystems = "",
    .blockFilesystems =
        "vfat,msdos,exfat,ntfs,ntfs3,fuseblk,nfs,nfs4,cifs,smb3,smbfs,sshfs,"
        "fuse.sshfs",
    .folderAccessNote =
        "The service runs as your user service with your own\n"
        "permissions: it can read a rule's source only where you\n"
        "can, and a folder it can't list makes that rule do nothing.\n",
    .permissionDeniedAdvice =
        "The service runs with your own permissions, so it can't read this folder either; "
        "nothing was moved. Give your user read access to it (for example with chmod) and the "
        "rule runs on its next turn.",
    .accessCheckTitle = "folder read-access check",
    .accessLegend =
        "OK = readable; DENY = your user can't read it (see\n"
        "`brim-vale tcc-check`); MISS = path doesn't exist on this machine.\n",
    .documentsCloudHint =
        "      b) If your Documents sync to a cloud account, set that account's\n"
        "         app to keep files online-only where it offers that. NOTE:\n"
        "         Brimvale can't do this for it automatically.\n",
    .evictionToolMissing =
        "     Neither comes with Linux, so these files can't be made online-only here.\n"
        "     Your files are untouched; your cloud app may offer to free the space itself.\n",
    .serviceStartCommand = "systemctl --user restart brimvale-service",
    .wholeGigabytes = false,
    .installAdvice = "Run `brimvale install`.",
    .hasLocalSnapshots = false,
    .serviceDefinitionNote = "",
    .prepDriveCommand = "`brimvale prep-drive`",
    .panicRecoveryCommand = "`brimvale panic-recovery`",
    .startupDisk = "internal disk",
    .accessFix =
        "\nIf you see DENY rows above, nothing was moved from those folders:\n"
        "  1. Give your user read access to each one (for example `chmod u+rx FOLDER`)\n"
        "  2. Run `brim-vale tcc-check` again to confirm\n",
    .cloudEvictionCommand = "optimize-cloud",
    .logViewerHint = "Check ",
    .startupMountAttempt =
        "NVMe not mounted at startup \u2014 attempting to mount it by its UUID or label.",
    .startupMountFailed =
        "Startup mount failed \u2014 drive may not be plugged in, or the system has no entry "
        "for it in /etc/fstab and udisks could not mount it.",
    .serviceStartRetry = "`brimvale self-check` will try to start it again.",
};

// `word` with its first letter upper-cased, for the start of a sentence or label.
inline std::string capitalised(std::string_view word) {
  std::string out(word);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z')
    out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out;
}

#if defined(__APPLE__)
inline constexpr const PlatformWords& kHostWords = kMacWords;
#else
inline constexpr const PlatformWords& kHostWords = kLinuxWords;
#endif

}  // namespace brimvale
