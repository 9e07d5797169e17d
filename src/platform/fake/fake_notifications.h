#pragma once
// Test doubles for the confirmation dialog and the desktop notifier: scripted
// answers, and a record of everything asked or posted.
#include <mutex>
#include <string>
#include <vector>

#include "platform/confirmation_dialog.h"
#include "platform/user_notifier.h"

namespace corvane::platform {

class FakeConfirmation final : public ConfirmationDialog {
 public:
  explicit FakeConfirmation(bool answer) : answer_(answer) {}
  bool confirm(const ConfirmationRequest& request) override;
  void setAnswer(bool answer);
  std::vector<ConfirmationRequest> requests() const;

 private:
  mutable std::mutex mutex_;
  bool answer_;
  std::vector<ConfirmationRequest> requests_;
};

class FakeNotifier final : public UserNotifier {
 public:
  struct Posted {
    std::string title, body, identifier;
  };
  explicit FakeNotifier(NotificationAuthorization state = NotificationAuthorization::Authorized) : state_(state) {}
  NotificationAuthorization authorization() override;
  bool requestAuthorization() override;
  Result<void> post(const std::string& title, const std::string& body, const std::string& identifier) override;

  void setGrantOnRequest(bool grant);
  void setPostFailure(std::string message);  // empty: posting works
  std::vector<Posted> posted() const;
  int authorizationRequests() const;

 private:
  mutable std::mutex mutex_;
  NotificationAuthorization state_;
  bool grant_ = true;
  std::string postFailure_;
  std::vector<Posted> posted_;
  int requests_ = 0;
};

}  // namespace corvane::platform
