#include "platform/fake/fake_notifications.h"

namespace corvane::platform {

bool FakeConfirmation::confirm(const ConfirmationRequest& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  return answer_;
}
void FakeConfirmation::setAnswer(bool answer) {
  std::lock_guard lock(mutex_);
  answer_ = answer;
}
std::vector<ConfirmationRequest> FakeConfirmation::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

NotificationAuthorization FakeNotifier::authorization() {
  std::lock_guard lock(mutex_);
  return state_;
}
bool FakeNotifier::requestAuthorization() {
  std::lock_guard lock(mutex_);
  ++requests_;
  state_ = grant_ ? NotificationAuthorization::Authorized : NotificationAuthorization::Denied;
  return grant_;
}
Result<void> FakeNotifier::post(const std::string& title, const std::string& body, const std::string& identifier) {
  std::lock_guard lock(mutex_);
  if (!postFailure_.empty()) return fail(postFailure_);
  posted_.push_back({title, body, identifier});
  return ok();
}
void FakeNotifier::setGrantOnRequest(bool grant) {
  std::lock_guard lock(mutex_);
  grant_ = grant;
}
void FakeNotifier::setPostFailure(std::string message) {
  std::lock_guard lock(mutex_);
  postFailure_ = std::move(message);
}
std::vector<FakeNotifier::Posted> FakeNotifier::posted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}
int FakeNotifier::authorizationRequests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace corvane::platform
