// The X11 clipboard (the CLIPBOARD selection) and global hot keys on libX11:
// XFixes tells about every new owner, so nothing is polled; reads convert the
// selection on a second connection; copy back owns the selection and answers
// requests from the event thread; hot keys are XGrabKey on the root window.
#pragma once

#include <memory>
#include <string>

#include "common/base/error.h"
#include "platform/clipboard.h"
#include "platform/hot_keys.h"

namespace brimvale::platform {

class X11Clipboard final : public Clipboard, public HotKeys {
 public:
  // Connects to `display` (empty: $DISPLAY). kUnavailable without a display
  // or without the XFixes extension.
  [[nodiscard]] static Result<std::unique_ptr<X11Clipboard>> open(const std::string& display);
  ~X11Clipboard() override;
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // Reads wait at most 1 s for the owner's answer; a silent owner reads as
  // nothing (its types too, so its offer is left alone).
  std::int64_t changeCount() override;
  std::optional<std::vector<std::string>> types() override;
  std::optional<std::string> text() override;
  // text/html, and text/rtf (or application/rtf) as Base64.
  ClipboardRichText richText(const std::vector<std::string>& types) override;
  std::vector<std::string> filePaths() override;
  // image/png, else image/jpeg, image/bmp or image/gif.
  std::optional<std::vector<std::uint8_t>> image(const std::vector<std::string>& types) override;
  // Offers text as UTF8_STRING, STRING and text/plain, rich text besides it
  // as text/html and text/rtf, files as
  // text/uri-list, the image as image/png, and the copy-back type. The offer lasts while this
  // object lives and no other program takes the clipboard.
  std::optional<std::int64_t> write(const ClipboardOffer& offer) override;
  bool setOnChange(std::function<void()> onChange) override;
  // Blocks until another program takes the clipboard, this object's offer
  // ends or the connection is lost; for a process that only lives to serve
  // its offer.
  void waitUntilReplaced();
  // False once the X server is gone (it ended, the session logged out):
  // from then on reads are empty, writes and hot keys fail, and the process
  // carries on.
  [[nodiscard]] bool connected() const;

  // Modifier Lock and NumLock states are grabbed too, so the key works with them on.
  int registerHotKey(std::uint32_t id, const HotKeyCombo& combo,
                     std::function<void()> onPress) override;
  void unregisterHotKey(std::uint32_t id) override;

 private:
  struct State;
  explicit X11Clipboard(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace brimvale::platform
