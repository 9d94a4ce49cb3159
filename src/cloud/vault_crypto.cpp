#include "cloud/vault_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "common/base/platform_words.h"

namespace brimvale::cloud {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

struct MdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

bool isBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

#if defined(__APPLE__)
constexpr std::string_view kResetInstruction =
    "Open Preferences \u2192 Accounts \u2192 Reset Vault to start over";
#else
constexpr std::string_view kResetInstruction = "Run `brimvale remotes vault-reset` to start over";
#endif

}  // namespace

std::string sha256(std::initializer_list<std::string_view> parts) {
  std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
  std::string digest(32, '\0');
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return {};
  for (std::string_view part : parts) EVP_DigestUpdate(ctx.get(), part.data(), part.size());
  if (EVP_DigestFinal_ex(ctx.get(), bytes(digest), &length) != 1 || length != digest.size()) {
    return {};
  }
  return digest;
}

Result<std::string> secureRandomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(bytes(out), static_cast<int>(count)) != 1) {
    return fail(Errc::kUnavailable, "the system's secure random source gave no bytes");
  }
  return out;
}

std::string base64Encode(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(bytes(out), bytes(in), static_cast<int>(in.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    if (!isBase64Char(text[i])) return std::nullopt;
  }
  if (text.empty()) return std::string();
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(bytes(out), bytes(text), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

std::string encodeEnvelope(const VaultEnvelope& envelope) {
  nlohmann::ordered_json j;
  j["v"] = envelope.v;
  j["iv"] = envelope.iv;
  j["tag"] = envelope.tag;
  j["ct"] = envelope.ct;
  j["saved_at"] = envelope.savedAt;
  if (envelope.keySource) j["key_source"] = *envelope.keySource;
  return j.dump(2) + "\n";
}

std::optional<VaultEnvelope> sealEnvelope(std::string_view key, std::string_view plaintext,
                                          std::string savedAt) {
  if (key.size() != kKeyBytes) return std::nullopt;
  auto nonce = secureRandomBytes(kNonceBytes);
  if (!nonce) return std::nullopt;
  Cipher ctx(EVP_CIPHER_CTX_new());
  std::string ct(plaintext.size() + 16, '\0');
  std::string tag(kTagBytes, '\0');
  int n = 0;
  int tail = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(*nonce)) != 1 ||
      EVP_EncryptUpdate(ctx.get(), bytes(ct), &n, bytes(plaintext),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), bytes(ct) + n, &tail) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, tag.data()) != 1) {
    return std::nullopt;
  }
  ct.resize(static_cast<std::size_t>(n + tail));
  VaultEnvelope envelope;
  envelope.iv = base64Encode(*nonce);
  envelope.tag = base64Encode(tag);
  envelope.ct = base64Encode(ct);
  envelope.savedAt = std::move(savedAt);
  return envelope;
}

std::expected<OpenedEnvelope, EnvelopeFailure> openEnvelope(std::string_view key,
                                                            std::string_view file) {
  auto j = nlohmann::json::parse(file, nullptr, false);
  auto isText = [&](const char* name) { return j.contains(name) && j[name].is_string(); };
  if (!j.is_object() || !j.contains("v") || !j["v"].is_number_integer() || !isText("iv") ||
      !isText("tag") || !isText("ct")) {
    return std::unexpected(EnvelopeFailure{EnvelopeFault::kNotJson});
  }
  int version = j["v"].get<int>();
  if (version != kEnvelopeVersion) {
    return std::unexpected(EnvelopeFailure{EnvelopeFault::kUnsupportedVersion, version});
  }
  auto nonce = base64Decode(j["iv"].get<std::string>());
  auto ct = base64Decode(j["ct"].get<std::string>());
  auto tag = base64Decode(j["tag"].get<std::string>());
  if (!nonce || !ct || !tag || nonce->size() != kNonceBytes || tag->size() != kTagBytes) {
    return std::unexpected(EnvelopeFailure{EnvelopeFault::kMalformedBase64});
  }
  const EnvelopeFailure openFailed{EnvelopeFault::kOpenFailed};
  if (key.size() != kKeyBytes) return std::unexpected(openFailed);

  Cipher ctx(EVP_CIPHER_CTX_new());
  std::string plain(ct->size() + 16, '\0');
  int n = 0;
  int tail = 0;
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(*nonce)) != 1 ||
      EVP_DecryptUpdate(ctx.get(), bytes(plain), &n, bytes(*ct), static_cast<int>(ct->size())) !=
          1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag->data()) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), bytes(plain) + n, &tail) != 1) {
    return std::unexpected(openFailed);
  }
  plain.resize(static_cast<std::size_t>(n + tail));
  OpenedEnvelope opened{std::move(plain), std::nullopt};
  if (isText("key_source")) opened.keySource = j["key_source"].get<std::string>();
  return opened;
}

std::string VaultError::message() const {
  switch (code) {
    case VaultErrc::kDecryptFailed:
      return "Couldn't decrypt the credential vault. This usually means the vault was created on "
             "a different " +
             std::string(kHostWords.computer) + ", or the key material was reset. " +
             std::string(kResetInstruction) + " (you'll need to re-enter every stored credential).";
    case VaultErrc::kEncryptFailed:
      return "Couldn't encrypt the credential vault. Check that the secrets directory is "
             "writable.";
    case VaultErrc::kUnsupportedVersion:
      return "Credential vault format v" + std::to_string(version) +
             " isn't supported by this build.";
    case VaultErrc::kCorrupted: return "Credential vault is corrupted: " + reason;
    case VaultErrc::kReadFailed:
      return "Couldn't read the credential vault file. Your stored credentials are untouched; "
             "check that the secrets directory is readable and try again.";
  }
  return {};
}

VaultError vaultErrorFor(const EnvelopeFailure& failure) {
  switch (failure.fault) {
    case EnvelopeFault::kNotJson:
      return VaultError{VaultErrc::kCorrupted, 0, std::string(kEnvelopeNotJson)};
    case EnvelopeFault::kUnsupportedVersion:
      return VaultError{VaultErrc::kUnsupportedVersion, failure.version};
    case EnvelopeFault::kMalformedBase64:
      return VaultError{VaultErrc::kCorrupted, 0, std::string(kEnvelopeBadBase64)};
    case EnvelopeFault::kOpenFailed: return VaultError{VaultErrc::kDecryptFailed};
  }
  return VaultError{VaultErrc::kDecryptFailed};
}

}  // namespace brimvale::cloud
