// The system clipboard as the scrap board sees it: what the current offer
// holds (its types, text, file URLs, image bytes), a counter that changes with
// every new offer, a change notification where the system has one, and
// writing an offer back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::platform {

// Password managers and other private writers mark their offers with one of
// these types; an offer carrying one is never read further.
inline constexpr std::string_view kConcealedType = "org.nspasteboard.ConcealedType";
inline constexpr std::string_view kTransientType = "org.nspasteboard.TransientType";
// The desktop's own marker. Its value is meant to be "secret", but listing it
// is enough: an owner that lists it and then refuses or delays the value
// must not have its text read.
inline constexpr std::string_view kPasswordManagerHintType = "x-kde-passwordManagerHint";

// Brimvale's own copy back carries this type too, so a watcher in another
// Brimvale process (the application, when `brimvale junk copy` wrote it)
// does not take it for something new.
inline constexpr std::string_view kCopyBackType = "application/x-brimvale-copy-back";

// Rich text beside an offer's plain text, in the form the board keeps it.
// `rtfdBase64` is the macOS pasteboard's RTFD; X11 has no RTFD, so there it
// is the offered RTF document (text/rtf), Base64 too.
struct ClipboardRichText {
  std::string html;  // UTF-8
  std::string rtfdBase64;
  [[nodiscard]] bool empty() const { return html.empty() && rtfdBase64.empty(); }
};

// What copy back puts on the clipboard; empty fields are not offered.
struct ClipboardOffer {
  std::string text;
  ClipboardRichText rich;              // offered with `text` as its plain fallback
  std::vector<std::string> filePaths;  // absolute paths, offered as file URLs
  std::vector<std::uint8_t> png;
};

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Changes whenever another program offers something new. A write of this
  // process changes it too and returns the new value, so the caller can
  // recognise its own offer.
  [[nodiscard]] virtual std::int64_t changeCount() = 0;
  // The type names of the current offer; nothing when the list could not be
  // read (no owner, the owner refused or did not answer in time), since the
  // offer may then carry a private marker nobody saw.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> types() = 0;
  [[nodiscard]] virtual std::optional<std::string> text() = 0;
  // The rich forms of the text among `types` (the offer's types, already
  // read); empty fields for the forms not offered.
  [[nodiscard]] virtual ClipboardRichText richText(const std::vector<std::string>& types) = 0;
  // The local paths of the offered file URLs (other URLs are left out).
  [[nodiscard]] virtual std::vector<std::string> filePaths() = 0;
  // The bytes of an offered image among `types` (the offer's types, already
  // read): PNG where it is offered, else another format the board converts.
  [[nodiscard]] virtual std::optional<std::vector<std::uint8_t>> image(
      const std::vector<std::string>& types) = 0;
  // Replaces the offer; the new change count, or nothing when the system
  // refused it.
  [[nodiscard]] virtual std::optional<std::int64_t> write(const ClipboardOffer& offer) = 0;
  // `onChange` runs on a thread of the backend after each foreign change.
  // False where the system cannot notify; the caller then compares
  // changeCount() on a timer.
  virtual bool setOnChange(std::function<void()> onChange) = 0;
};

// True when the offer is marked private: the concealed, transient or hint
// type is among `types`.
[[nodiscard]] bool isPrivateOffer(const std::vector<std::string>& types);

// The local path of a file URL ("file:///a%20b" → "/a b", also
// "file://localhost/..."); nothing for other URLs or a bad escape.
[[nodiscard]] std::optional<std::string> filePathOfUrl(std::string_view url);
// "file://" and the path with every byte outside the unreserved set and '/'
// percent-escaped.
[[nodiscard]] std::string fileUrlOfPath(std::string_view path);
// The lines of a text/uri-list (CR LF or LF), comments skipped, as local paths.
[[nodiscard]] std::vector<std::string> filePathsOfUriList(std::string_view list);

// HTML as offered, as UTF-8: some programs offer it as UTF-16 with a byte
// order mark; trailing NULs are dropped.
[[nodiscard]] std::string htmlAsUtf8(std::string_view bytes);

}  // namespace brimvale::platform
