#include "platform/linux/pam/pam_authenticator.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> currentUser() {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_name) return std::nullopt;
  return std::string(found->pw_name);
}

// PAM reads service files from /etc/pam.d (or a wrapper's own folder).
bool serviceConfigured(const std::string& service) {
  std::error_code ec;
  if (const char* dir = std::getenv("PAM_WRAPPER_SERVICE_DIR"); dir && std::getenv("PAM_WRAPPER"))
    return fs::exists(fs::path(dir) / service, ec);
  for (const char* base : {"/etc/pam.d", "/usr/lib/pam.d", "/usr/share/pam.d"})
    if (fs::exists(fs::path(base) / service, ec)) return true;
  return false;
}

struct Conversation {
  const std::string* password;
};

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* replies = static_cast<pam_response*>(std::calloc(size_t(count), sizeof(pam_response)));
  if (!replies) return PAM_BUF_ERR;
  const auto* conv = static_cast<Conversation*>(data);
  for (int i = 0; i < count; ++i) {
    // Only a hidden prompt is the password; other prompts get nothing.
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
      replies[i].resp = strdup(conv->password->c_str());
      if (!replies[i].resp) {
        for (int j = 0; j < i; ++j) std::free(replies[j].resp);
        std::free(replies);
        return PAM_BUF_ERR;
      }
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

class PamAuthenticator final : public OwnerAuthenticator {
 public:
  Result<void> available() const override {
    if (!currentUser()) return fail(std::string(kLockUnavailable));
    if (!service()) return fail(std::string(kLockUnavailable));
    return {};
  }

  bool verify(const std::string& password) override {
    auto user = currentUser();
    auto svc = service();
    if (!user || !svc) return false;
    Conversation data{&password};
    const pam_conv conv{converse, &data};
    pam_handle_t* handle = nullptr;
    if (pam_start(svc->c_str(), user->c_str(), &conv, &handle) != PAM_SUCCESS) return false;
    int rc = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT);
    pam_end(handle, rc);
    return rc == PAM_SUCCESS;
  }

 private:
  static std::optional<std::string> service() {
    for (const char* s : {"corvane", "login"})
      if (serviceConfigured(s)) return std::string(s);
    return std::nullopt;
  }
};

}  // namespace

std::shared_ptr<OwnerAuthenticator> makePamAuthenticator() { return std::make_shared<PamAuthenticator>(); }

}  // namespace corvane::platform
