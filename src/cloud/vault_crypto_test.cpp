#include "cloud/vault_crypto.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace brimvale::cloud {
namespace {

const std::string kKey(32, 'k');

// Every padding length round-trips; anything but strict standard text is refused.
TEST(Base64, RoundTripsAndRefusesLooseText) {
  for (std::string bytes : {std::string("a"), std::string("ab"), std::string("\0\xff\x10", 3)}) {
    SCOPED_TRACE(bytes.size());
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("ab"), "YWI=");
  for (const char* text : {"YWI", "YWI=\n", "YW!="}) {
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

}  // namespace
}  // namespace brimvale::cloud
