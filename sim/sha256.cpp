#include "sim/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

// The library fails only when it cannot allocate; a digest that silently went wrong would
// turn a good read into a mismatch, so stop instead.
void Require(bool ok) {
  if (ok) return;
  std::fprintf(stderr, "SHA-256: the crypto library failed\n");
  std::abort();
}

}  // namespace

void Sha256::Free::operator()(void* context) const { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context)); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  Require(context_ != nullptr && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context()), EVP_sha256(), nullptr) == 1);
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  Require(EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context()), bytes.data(), bytes.size()) == 1);
}

std::array<uint8_t, 32> Sha256::Finish() {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  Require(EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context()), digest.data(), &length) == 1 && length == digest.size());
  return digest;
}

std::string Sha256::FinishHex() {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : Finish()) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

}  // namespace sim
