#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(std::string_view data);
std::string sha256Hex(std::string_view data);
std::string toHex(const uint8_t* data, size_t size);

// Incremental hashing for large inputs read in pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view data);
  Sha256Digest finish();

 private:
  void* ctx_;
};

// Cryptographically secure random bytes (aborts if the system source fails).
void secureRandom(uint8_t* out, size_t size);
std::string randomHex(size_t bytes);
// A random (version 4) UUID in lower case: "3f2c…-…".
std::string newUuid();

}  // namespace corvane
