#include "core/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

namespace corvane {

namespace {
// OpenSSL's exit-time clean-up frees its global state while process-wide queue
// threads still hold per-thread state; those threads end later (when their
// queues are destroyed) and their state is then lost. Skipping that clean-up
// leaves everything reachable until the process ends.
void initOpenSsl() {
  static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)done;
}
}  // namespace

std::string toHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  return out;
}

Sha256::Sha256() : ctx_((initOpenSsl(), EVP_MD_CTX_new())) { EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr); }
Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }
void Sha256::update(std::string_view data) { EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data.data(), data.size()); }
Sha256Digest Sha256::finish() {
  Sha256Digest d{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), d.data(), &len);
  return d;
}

Sha256Digest sha256(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.finish();
}

std::string sha256Hex(std::string_view data) {
  auto d = sha256(data);
  return toHex(d.data(), d.size());
}

void secureRandom(uint8_t* out, size_t size) {
  initOpenSsl();
  if (RAND_bytes(out, static_cast<int>(size)) != 1) {
    std::fputs("corvane: secure random source failed\n", stderr);
    std::abort();
  }
}

std::string randomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  secureRandom(reinterpret_cast<uint8_t*>(raw.data()), bytes);
  return toHex(reinterpret_cast<const uint8_t*>(raw.data()), bytes);
}

std::string newUuid() {
  uint8_t b[16];
  secureRandom(b, sizeof b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
  std::string hex = toHex(b, 16);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

}  // namespace corvane
