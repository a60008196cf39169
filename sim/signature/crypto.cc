#include "sim/signature/crypto.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace sim::signature {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using ScopedKey = std::unique_ptr<EVP_PKEY, KeyFree>;
using ScopedContext = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// OpenSSL fails these calls only when it cannot allocate or is broken.
[[noreturn]] void Broken(const char* what) {
  throw std::runtime_error(std::string("OpenSSL failed to ") + what);
}

ScopedKey PrivateKeyObject(const PrivateKey& key) {
  ScopedKey object(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  if (!object) Broken("make an Ed25519 key");
  return object;
}

ScopedContext NewContext() {
  ScopedContext context(EVP_MD_CTX_new());
  if (!context) Broken("make a digest context");
  return context;
}

}  // namespace

PublicKey PublicKeyOf(const PrivateKey& key) {
  const ScopedKey object = PrivateKeyObject(key);
  PublicKey public_key{};
  size_t length = public_key.size();
  if (EVP_PKEY_get_raw_public_key(object.get(), public_key.data(), &length) != 1 ||
      length != public_key.size()) {
    Broken("derive an Ed25519 public key");
  }
  return public_key;
}

Signature Sign(const PrivateKey& key, std::span<const uint8_t> message) {
  const ScopedKey object = PrivateKeyObject(key);
  const ScopedContext context = NewContext();
  Signature signature{};
  size_t length = signature.size();
  if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, object.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) !=
          1 ||
      length != signature.size()) {
    Broken("sign with Ed25519");
  }
  return signature;
}

bool Verify(const PublicKey& key, std::span<const uint8_t> message, const Signature& signature) {
  const ScopedKey object(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  if (!object) return false;  // not a point of the curve
  const ScopedContext context = NewContext();
  return EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, object.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

Sha1Digest Sha1(std::span<const uint8_t> bytes) {
  Sha1Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1 ||
      length != digest.size()) {
    Broken("compute SHA-1");
  }
  return digest;
}

}  // namespace sim::signature
