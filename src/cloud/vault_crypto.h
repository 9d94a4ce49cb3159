// The sealing both encrypted files share: AES-256-GCM through OpenSSL with a
// fresh 12-byte nonce on every save and a 16-byte tag, carried as Base64 in a
// small JSON envelope, and the credential vault's error cases and texts.
#pragma once

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.h"

namespace brimvale::cloud {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr int kEnvelopeVersion = 1;

// SHA-256 of the parts fed one after another (no separators), 32 raw bytes.
[[nodiscard]] std::string sha256(std::initializer_list<std::string_view> parts);

// `count` bytes from the system's secure random source.
[[nodiscard]] Result<std::string> secureRandomBytes(std::size_t count);

[[nodiscard]] std::string base64Encode(std::string_view bytes);
// Standard alphabet with '=' padding, nothing else (no white space, no
// missing padding); nothing for any other text.
[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text);

// The file form: keys written in the order v, iv, tag, ct, saved_at and then
// key_source when set. The byte fields hold Base64 text.
struct VaultEnvelope {
  int v = kEnvelopeVersion;
  std::string iv;
  std::string tag;
  std::string ct;
  std::string savedAt;  // UTC "YYYY-mm-ddTHH:MM:SSZ"
  std::optional<std::string> keySource;
};

[[nodiscard]] std::string encodeEnvelope(const VaultEnvelope& envelope);

// Seals `plaintext` under the 32-byte `key` with a nonce never used before;
// nothing when the key has the wrong size or OpenSSL refuses.
[[nodiscard]] std::optional<VaultEnvelope> sealEnvelope(std::string_view key,
                                                        std::string_view plaintext,
                                                        std::string savedAt);

// Why an envelope could not be opened, in the order the checks run.
enum class EnvelopeFault {
  kNotJson,             // not a JSON object with the fields of an envelope
  kUnsupportedVersion,  // "v" is not 1
  kMalformedBase64,     // a byte field is not Base64, or a nonce or tag of the wrong size
  kOpenFailed,          // wrong key or altered bytes: the tag does not match
};
struct EnvelopeFailure {
  EnvelopeFault fault = EnvelopeFault::kNotJson;
  int version = 0;  // the "v" found, for kUnsupportedVersion
};

// The plaintext of the envelope text `file`, and its "key_source" when it has one.
struct OpenedEnvelope {
  std::string plaintext;
  std::optional<std::string> keySource;
};
[[nodiscard]] std::expected<OpenedEnvelope, EnvelopeFailure> openEnvelope(std::string_view key,
                                                                          std::string_view file);

enum class VaultErrc {
  kDecryptFailed,
  kEncryptFailed,
  kUnsupportedVersion,
  kCorrupted,
  kReadFailed,  // the file is there but the system would not give its bytes
};

struct VaultError {
  VaultErrc code = VaultErrc::kEncryptFailed;
  int version = 0;     // kUnsupportedVersion: the version found
  std::string reason;  // kCorrupted: the sentence after "Credential vault is corrupted: "
  std::string detail;  // technical detail for the log (errno text, path); not in message()

  // The text shown to the user for this case.
  [[nodiscard]] std::string message() const;
};

// The vault error a failed envelope open means.
[[nodiscard]] VaultError vaultErrorFor(const EnvelopeFailure& failure);

inline constexpr std::string_view kEnvelopeNotJson = "Envelope didn't parse as JSON.";
inline constexpr std::string_view kEnvelopeBadBase64 = "Envelope contains malformed base64.";

}  // namespace brimvale::cloud
