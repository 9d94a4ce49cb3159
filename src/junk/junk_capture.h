// Turns what the clipboard holds into at most one new scrap: private offers
// are left alone, then file URLs, an image, or trimmed text (rich text when
// a rich form is offered beside it), in that order;
// the same content twice in a row is saved once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "junk/junk_signature.h"
#include "junk/scrap_sink.h"
#include "platform/clipboard.h"
#include "platform/notification_center.h"

namespace brimvale::junk {

// The display name of a path: its last component ("/" stays "/").
[[nodiscard]] std::string displayNameOf(const std::string& path);

// Text with white space and newlines removed at both ends.
[[nodiscard]] std::string trimmedText(std::string_view text);

enum class CaptureOutcome {
  kSaved,
  kPrivate,       // a password manager's or other private offer, or one whose types
                  // could not be read (so it may be one)
  kOwnCopy,       // Brimvale's own copy back
  kTooManyFiles,  // more files than JunkMaxFilesPerScrap
  kRepeat,        // the same as the previous capture
  kNothing,       // nothing usable on the clipboard
  kNotSaved,      // the sink refused it (already logged there)
};

class JunkCapture {
 public:
  // Both must outlive the capture.
  JunkCapture(platform::Clipboard& clipboard, ScrapSink& sink)
      : clipboard_(clipboard), sink_(sink) {}

  // Reads the clipboard once in the order above and adds at most one scrap
  // with `source`. A private offer is not read beyond its type list, nor is
  // one whose type list could not be read, nor Brimvale's own copy back.
  CaptureOutcome capture(JunkSource source, int maxFilesPerScrap);

 private:
  CaptureOutcome save(const JunkSignature& signature, ScrapContent content);

  platform::Clipboard& clipboard_;
  ScrapSink& sink_;
  std::optional<JunkSignature> last_;
};

}  // namespace brimvale::junk
