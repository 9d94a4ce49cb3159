#include "common/state/protected_folders.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

DenylistEntry row(std::string path, std::string name, std::string reason) {
  return DenylistEntry{std::move(path), std::move(name), std::move(reason), std::nullopt,
                       DenylistEntry::Source::kBaseline};
}

std::vector<DenylistEntry> makeBaseline() {
  std::vector<DenylistEntry> rows{
      row("~/Library/Application Support/Claude", "Claude desktop",
          "Claude desktop holds open IndexedDB / leveldb / sqlite databases plus the hollin VM's "
          "rootfs.img. Moving while Claude is running can corrupt these databases and trigger a "
          "complete profile reset (chat history loss). Quit Claude entirely before considering a "
          "manual move."),
      row("~/Library/Application Support/Cursor", "Cursor",
          "Cursor (Electron + sqlite + leveldb) writes continuously to its data folder. Moving "
          "while running corrupts the workspace databases."),
      row("~/Library/Application Support/Code", "Visual Studio Code",
          "VS Code stores extension state, workspace cache, and the language-server protocol "
          "databases here. Active write transactions cannot survive a move."),
      row("~/Library/Application Support/discord", "Discord",
          "Discord (Electron) maintains active sqlite + leveldb stores for cache and message "
          "indexing."),
      row("~/Library/Application Support/Slack", "Slack",
          "Slack (Electron) maintains active sqlite stores for cache and message indexing."),
      row("~/Library/Application Support/Microsoft Teams", "Microsoft Teams",
          "Teams (Electron) maintains active sqlite + leveldb stores."),
      row("~/Library/Application Support/Spotify", "Spotify",
          "Spotify holds open the local audio cache (~10 GB typical) plus playback state. Moving "
          "while playing or downloading corrupts the cache index."),
      row("~/Library/Mail", "Apple Mail",
          "Apple Mail's mailbox storage uses macOS-specific bookmarks + indexed mbox files. "
          "Moving silently breaks the rebuild-on-next-launch logic — Mail may then re-download "
          "every IMAP message."),
      row("~/Pictures/Photos Library.photoslibrary", "Photos library",
          "macOS Photos uses a bundle-format library with proprietary databases that are "
          "write-locked by the running app. Moving while Photos is open can lose imports; the "
          "library itself MAY be moved via the official 'Use as System Photo Library' workflow "
          "in Photos preferences — not via Brimvale."),
      row("~/Pictures/iPhoto Library", "iPhoto library (legacy)",
          "Legacy iPhoto library, same constraints as Photos. Should be migrated via Photos.app, "
          "not relocated as a folder."),
      row("~/Library/Application Support/com.brimvale.app", "Brimvale (this app)",
          "Brimvale cannot relocate its own data folder. Doing so would corrupt the in-flight "
          "move's state — including this protection."),
      row("~/.brimvale", "Brimvale state",
          "Brimvale's own state directory. Manifests, ledger, quarantine, and cache live here; "
          "moving them would break in-progress moves and prevent recovery on next launch."),
      row("~/Library/Containers/com.brimvale.app", "Brimvale sandbox container",
          "Sandboxed apps reference their container by absolute path; moving breaks the sandbox "
          "profile."),
  };
  rows[0].helpAnchor = "manual/local-snapshots#protected-folders";
  return rows;
}

std::vector<DenylistEntry> makeCredentialRows() {
  const std::string kProfile =
      " keeps its profile here: open databases, saved passwords and cookies. Moving it while the "
      "program runs corrupts them, and a profile behind a missing drive signs you out everywhere.";
  return {
      row("~/.ssh", "SSH keys",
          "Your SSH keys and the list of servers you trust live here. Programs read them by this "
          "exact path; with the drive unplugged you could no longer log in to your servers."),
      row("~/.gnupg", "GnuPG keys",
          "Your GnuPG private keys and trust database live here, with a running agent holding "
          "them open. Moving them can lock you out of encrypted mail and signed files."),
      row("~/.local/share/keyrings", "Login keyring",
          "The login keyring holds your saved passwords and is kept open by the keyring daemon "
          "while you are logged in. Moving it can lose the passwords saved in it."),
      row("~/.pki", "Certificate store",
          "The certificate database that browsers and other programs share. It is kept open "
          "while they run; moving it can corrupt it."),
      row("~/.mozilla", "Firefox profile", "Firefox" + kProfile),
      row("~/.thunderbird", "Thunderbird profile",
          "Thunderbird" + kProfile + " It also holds your local mail."),
      row("~/.config/google-chrome", "Google Chrome profile", "Google Chrome" + kProfile),
      row("~/.config/chromium", "Chromium profile", "Chromium" + kProfile),
  };
}

}  // namespace

AppDataDenylist::AppDataDenylist(fs::path home) : home_(std::move(home)) {}

const std::vector<DenylistEntry>& AppDataDenylist::baseline() {
  static const std::vector<DenylistEntry> kRows = makeBaseline();
  return kRows;
}

std::optional<DenylistEntry> AppDataDenylist::verdict(std::string_view path) const {
  // "~" stands for the home folder; compared piecewise, as every path checked
  // meets every entry.
  auto matches = [&](const DenylistEntry& e) {
    std::string_view pattern = e.path, rest = path;
    if (pattern.starts_with('~')) {
      if (!rest.starts_with(home_.native())) return false;
      rest.remove_prefix(home_.native().size());
      pattern.remove_prefix(1);
    }
    return rest == pattern || (rest.size() > pattern.size() && rest.starts_with(pattern) &&
                               rest[pattern.size()] == '/');
  };
  for (const auto& e : baseline()) {
    if (matches(e)) return e;
  }
  for (const auto& e : credentialRows()) {
    if (matches(e)) return e;
  }
  return std::nullopt;
}

const std::vector<DenylistEntry>& AppDataDenylist::credentialRows() {
  static const std::vector<DenylistEntry> kRows = makeCredentialRows();
  return kRows;
}

}  // namespace brimvale
