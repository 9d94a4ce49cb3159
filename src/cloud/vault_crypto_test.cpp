#include "cloud/vault_crypto.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace brimvale::cloud {
namespace {

const std::string kKey(32, 'k');

TEST(VaultEnvelope, EverySealUsesAFreshNonceAndOpensAgain) {
  auto first = sealEnvelope(kKey, "secret text", "2026-01-02T03:04:05Z");
  auto second = sealEnvelope(kKey, "secret text", "2026-01-02T03:04:05Z");
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->iv, second->iv);
  EXPECT_NE(first->ct, second->ct);
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
