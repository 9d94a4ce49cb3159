#include "cloud/vault_crypto.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace brimvale::cloud {
namespace {

const std::string kKey(32, 'k');

TEST(Base64, RoundTripsEveryPaddingLength) {
  for (std::string bytes : {std::string(), std::string("a"), std::string("ab"), std::string("abc"),
                            std::string("\0\xff\x10\x80", 4)}) {
    SCOPED_TRACE(bytes.size());
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("ab"), "YWI=");
}

TEST(Base64, RefusesAnythingButStrictStandardText) {
  for (const char* text : {"YWI", "YW=I", "YWI=\n", " YWI=", "YW!=", "Y===", "YWI-"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(base64Decode(text), std::nullopt);
  }
}

TEST(VaultEnvelope, EverySealUsesAFreshNonceAndOpensAgain) {
  auto first = sealEnvelope(kKey, "secret text", "2026-01-02T03:04:05Z");
  auto second = sealEnvelope(kKey, "secret text", "2026-01-02T03:04:05Z");
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->iv, second->iv);
  EXPECT_NE(first->ct, second->ct);
  EXPECT_EQ(base64Decode(first->iv)->size(), kNonceBytes);
  EXPECT_EQ(base64Decode(first->tag)->size(), kTagBytes);
  auto opened = openEnvelope(kKey, encodeEnvelope(*first));
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->plaintext, "secret text");
  EXPECT_EQ(opened->keySource, std::nullopt);
}

TEST(VaultEnvelope, WritesItsKeysInTheFixedOrder) {
  VaultEnvelope envelope{1, "aXY=", "dGFn", "Y3Q=", "2026-01-02T03:04:05Z", "fingerprint-only"};
  std::string text = encodeEnvelope(envelope);
  std::size_t last = 0;
  for (const char* key :
       {"\"v\"", "\"iv\"", "\"tag\"", "\"ct\"", "\"saved_at\"", "\"key_source\""}) {
    SCOPED_TRACE(key);
    auto at = text.find(key);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(at, last);
    last = at;
  }
}

TEST(VaultEnvelope, TellsWhyItCannotBeOpened) {
  auto sealed = sealEnvelope(kKey, "{}", "2026-01-02T03:04:05Z");
  ASSERT_TRUE(sealed);
  auto withField = [&](const char* key, nlohmann::json value) {
    auto j = nlohmann::json::parse(encodeEnvelope(*sealed));
    j[key] = std::move(value);
    return j.dump();
  };
  std::string tamperedCt = *base64Decode(sealed->ct);
  tamperedCt[0] ^= 1;
  struct Case {
    const char* name;
    std::string file;
    std::string key;
    EnvelopeFault fault;
    int version = 0;
  } cases[] = {
      {"not json", "{\"v\": 1,", kKey, EnvelopeFault::kNotJson},
      {"no ct", R"({"v":1,"iv":"","tag":""})", kKey, EnvelopeFault::kNotJson},
      {"version 2", withField("v", 2), kKey, EnvelopeFault::kUnsupportedVersion, 2},
      {"bad base64", withField("tag", "%%%%"), kKey, EnvelopeFault::kMalformedBase64},
      {"short nonce", withField("iv", base64Encode("12345678")), kKey,
       EnvelopeFault::kMalformedBase64},
      {"other key", encodeEnvelope(*sealed), std::string(32, 'x'), EnvelopeFault::kOpenFailed},
      {"altered bytes", withField("ct", base64Encode(tamperedCt)), kKey,
       EnvelopeFault::kOpenFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto opened = openEnvelope(c.key, c.file);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().fault, c.fault);
    EXPECT_EQ(opened.error().version, c.version);
  }
}

TEST(VaultError, Texts) {
  struct Case {
    EnvelopeFault fault;
    int version;
    std::string text;
  } cases[] = {
    {EnvelopeFault::kUnsupportedVersion, 2,
     "Credential vault format v2 isn't supported by this build."},
    {EnvelopeFault::kNotJson, 0, "Credential vault is corrupted: Envelope didn't parse as JSON."},
    {EnvelopeFault::kMalformedBase64, 0,
     "Credential vault is corrupted: Envelope contains malformed base64."},
#if !defined(__APPLE__)
    {EnvelopeFault::kOpenFailed, 0,
     "Couldn't decrypt the credential vault. This usually means the vault was created on a "
     "different computer, or the key material was reset. Run `brimvale remotes vault-reset` to "
     "start over (you'll need to re-enter every stored credential)."},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(vaultErrorFor(EnvelopeFailure{c.fault, c.version}).message(), c.text);
  }
}

}  // namespace
}  // namespace brimvale::cloud
