#pragma once
// Where the account keeps its credentials: the desktop keyring when one runs,
// otherwise a private (0600) file. One secret per account name, as UTF-8 text.
// Safe to use from any thread.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace corvane::platform {

class Keychain {
 public:
  virtual ~Keychain() = default;
  // nullopt when nothing is stored under the name.
  virtual Result<std::optional<std::string>> read(std::string_view account) = 0;
  virtual Result<void> write(std::string_view account, std::string_view secret) = 0;
  // Removing what is not there succeeds.
  virtual Result<void> remove(std::string_view account) = 0;

  // The process-wide keychain: the file keychain until a front end installs
  // the keyring-backed one (see platform/linux/secret); replaceable in tests.
  static std::shared_ptr<Keychain> shared();
  static void setShared(std::shared_ptr<Keychain> keychain);
};

// configDirectory()/"credentials.json", mode 0600 in a 0700 folder.
std::filesystem::path defaultKeychainFile();
// A JSON object of name -> secret in one private file, rewritten atomically.
std::shared_ptr<Keychain> makeFileKeychain(std::filesystem::path file = defaultKeychainFile());

}  // namespace corvane::platform
