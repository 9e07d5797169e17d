#include "platform/linux/secret/secret_keychain.h"

#include <libsecret/secret.h>

#include <string>

namespace corvane::platform {
namespace {

const SecretSchema* schema() {
  static const SecretSchema s = {
      "com.corvane.credentials",
      SECRET_SCHEMA_NONE,
      {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

class SecretServiceKeychain final : public Keychain {
 public:
  explicit SecretServiceKeychain(std::shared_ptr<Keychain> fallback) : fallback_(std::move(fallback)) {}

  Result<std::optional<std::string>> read(std::string_view account) override {
    std::string name(account);
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "account", name.c_str(), nullptr);
    if (error) {
      g_error_free(error);
      return fallback_->read(account);
    }
    if (!secret) return fallback_->read(account);
    std::string value(secret);
    secret_password_free(secret);
    return std::optional<std::string>(std::move(value));
  }

  Result<void> write(std::string_view account, std::string_view secret) override {
    std::string name(account), value(secret);
    std::string label = "Corvane " + name;
    GError* error = nullptr;
    gboolean stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(),
                                                 nullptr, &error, "account", name.c_str(), nullptr);
    if (error || !stored) {
      if (error) g_error_free(error);
      return fallback_->write(account, secret);
    }
    // The keyring holds it now; a stale copy in the file must not outlive it.
    (void)fallback_->remove(account);
    return {};
  }

  Result<void> remove(std::string_view account) override {
    std::string name(account);
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "account", name.c_str(), nullptr);
    if (error) g_error_free(error);
    return fallback_->remove(account);
  }

 private:
  std::shared_ptr<Keychain> fallback_;
};

}  // namespace

std::shared_ptr<Keychain> makeSecretServiceKeychain(std::shared_ptr<Keychain> fallback) {
  return std::make_shared<SecretServiceKeychain>(std::move(fallback));
}

}  // namespace corvane::platform
