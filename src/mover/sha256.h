#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

struct evp_md_ctx_st;

namespace brimvale::mover {

// A SHA-256 digest in progress, computed by the system's crypto library. The
// library is opened on the first digest instead of at start-up: the service's
// frequent short commands (the status snapshot) never hash, and mapping it
// cost each of them more than its own work.
class Sha256 {
 public:
  // A fresh digest; empty when the crypto library cannot be loaded (said once
  // on standard error), so every check that needs a digest fails safe.
  static std::optional<Sha256> start();

  void update(const void* data, std::size_t size);

  // The digest of everything fed since the start, in lower-case hex; the
  // digest then starts over.
  std::string finishHex();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  explicit Sha256(evp_md_ctx_st* ctx) : ctx_(ctx) {}
  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

}  // namespace brimvale::mover
