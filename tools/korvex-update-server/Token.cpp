#include "tools/korvex-update-server/Token.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kus {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string Base64Url(const std::string& bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  std::string text(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  return text;
}

TokenSigner::TokenSigner(const std::string& privateKeyPath) {
  if (privateKeyPath.empty()) {
    key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key_) throw std::runtime_error("cannot make an Ed25519 key");
    return;
  }
  FILE* f = std::fopen(privateKeyPath.c_str(), "r");
  if (!f) throw std::runtime_error("cannot read key " + privateKeyPath);
  key_ = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!key_) throw std::runtime_error("no PEM private key in " + privateKeyPath);
  if (EVP_PKEY_get_id(key_) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key_);
    key_ = nullptr;
    throw std::runtime_error("token key must be Ed25519: " + privateKeyPath);
  }
}

TokenSigner::~TokenSigner() { EVP_PKEY_free(key_); }

std::string TokenSigner::PublicKeyPEM() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_) != 1) throw std::runtime_error("cannot write public key");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string TokenSigner::Issue(const Device& device, std::time_t now, long lifetimeSeconds) const {
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", device.serial);
  std::string features = "[";
  for (size_t i = 0; i < device.features.size(); ++i) {
    if (i) features += ",";
    features += JsonString(device.features[i]);
  }
  features += "]";
  const long long iat = static_cast<long long>(now);
  const std::string header = "{\"alg\":\"EdDSA\",\"typ\":\"JWT\"}";
  const std::string claims = "{\"iss\":\"korvex-update-server\",\"sub\":" + JsonString(serial) +
                             ",\"serial\":" + JsonString(serial) +
                             ",\"model\":" + JsonString(device.model) +
                             ",\"features\":" + features + ",\"iat\":" + std::to_string(iat) +
                             ",\"exp\":" + std::to_string(iat + lifetimeSeconds) + "}";
  const std::string input = Base64Url(header) + "." + Base64Url(claims);

  MdCtxPtr ctx(EVP_MD_CTX_new());
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) != 1) {
    throw std::runtime_error("cannot sign token");
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &length,
                     reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
    throw std::runtime_error("cannot sign token");
  }
  signature.resize(length);
  return input + "." + Base64Url(signature);
}

}  // namespace kus
