// Device tokens: JSON Web Tokens signed with Ed25519 ("EdDSA"). The
// private key stays with the server; the public key may be published so
// that anyone can check a token.
#ifndef KORVEX_UPDATE_SERVER_TOKEN_H
#define KORVEX_UPDATE_SERVER_TOKEN_H

#include <cstdint>
#include <ctime>
#include <string>

#include "tools/korvex-update-server/Repository.h"

struct evp_pkey_st;

namespace kus {

class TokenSigner {
 public:
  // Loads a PEM Ed25519 private key, or makes a fresh one when path is
  // empty. Throws std::runtime_error on failure.
  explicit TokenSigner(const std::string& privateKeyPath);
  ~TokenSigner();
  TokenSigner(const TokenSigner&) = delete;
  TokenSigner& operator=(const TokenSigner&) = delete;

  // The public key as PEM (SubjectPublicKeyInfo).
  std::string PublicKeyPEM() const;

  // header.claims.signature, all base64url without padding. Claims: sub and
  // serial (8 hex digits), model, features, iat, exp = iat + lifetime.
  std::string Issue(const Device& device, std::time_t now, long lifetimeSeconds) const;

 private:
  evp_pkey_st* key_ = nullptr;
};

// Base64url without padding.
std::string Base64Url(const std::string& bytes);

}  // namespace kus

#endif
