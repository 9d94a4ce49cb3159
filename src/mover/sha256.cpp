#include "mover/sha256.h"

#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstdio>
#include <type_traits>

namespace brimvale::mover {
namespace {

struct CryptoCalls {
  decltype(&EVP_MD_CTX_new) ctxNew = nullptr;
  decltype(&EVP_MD_CTX_free) ctxFree = nullptr;
  decltype(&EVP_DigestInit_ex) init = nullptr;
  decltype(&EVP_DigestUpdate) update = nullptr;
  decltype(&EVP_DigestFinal_ex) final = nullptr;
  const EVP_MD* sha256 = nullptr;  // null when the library is unusable
};

CryptoCalls loadCrypto() {
  CryptoCalls calls;
  void* library = dlopen(BRIMVALE_CRYPTO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  auto find = [library](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(library, name));
    return fn != nullptr;
  };
  decltype(&EVP_MD_fetch) fetch = nullptr;
  decltype(&EVP_sha256) builtIn = nullptr;
  if (library && find(calls.ctxNew, "EVP_MD_CTX_new") && find(calls.ctxFree, "EVP_MD_CTX_free") &&
      find(calls.init, "EVP_DigestInit_ex") && find(calls.update, "EVP_DigestUpdate") &&
      find(calls.final, "EVP_DigestFinal_ex") && find(fetch, "EVP_MD_fetch") &&
      find(builtIn, "EVP_sha256")) {
    // Fetched once: looking the algorithm up for every file costs a lock
    // and a table search each time.
    const EVP_MD* fetched = fetch(nullptr, "SHA256", nullptr);
    calls.sha256 = fetched ? fetched : builtIn();
  }
  if (!calls.sha256) {
    const char* why = library ? "it has no SHA-256" : dlerror();
    std::fprintf(stderr,
                 "Brimvale could not load the crypto library %s (%s), which it needs to check "
                 "copies; nothing was moved or deleted because of it. Reinstall the package that "
                 "provides %s, then try again.\n",
                 BRIMVALE_CRYPTO_LIBRARY, why ? why : "unknown reason", BRIMVALE_CRYPTO_LIBRARY);
  }
  return calls;
}

const CryptoCalls& crypto() {
  static const CryptoCalls calls = loadCrypto();
  return calls;
}

}  // namespace

void Sha256::Free::operator()(evp_md_ctx_st* ctx) const { crypto().ctxFree(ctx); }

std::optional<Sha256> Sha256::start() {
  const CryptoCalls& c = crypto();
  if (!c.sha256) return std::nullopt;
  Sha256 digest(c.ctxNew());
  if (!digest.ctx_ || c.init(digest.ctx_.get(), c.sha256, nullptr) != 1) return std::nullopt;
  return digest;
}

void Sha256::update(const void* data, std::size_t size) { crypto().update(ctx_.get(), data, size); }

std::string Sha256::finishHex() {
  const CryptoCalls& c = crypto();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  c.final(ctx_.get(), md, &length);
  c.init(ctx_.get(), c.sha256, nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

}  // namespace brimvale::mover
