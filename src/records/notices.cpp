#include "records/notices.h"

#include <mutex>

#include "core/text.h"
#include "platform/user_notifier.h"
#include "records/app_log.h"
#include "records/notification_log.h"

namespace corvane::records {
namespace {

std::mutex& mutex() {
  static std::mutex m;
  return m;
}
StatusPanel& panelSlot() {
  static StatusPanel panel;
  return panel;
}
std::shared_ptr<TaskQueue>& testQueue() {
  static std::shared_ptr<TaskQueue> queue;
  return queue;
}
// Never destroyed: a notice posted while the process exits must not meet a
// queue that is being torn down.
SerialQueue& ownQueue() {
  static auto* queue = new SerialQueue("com.corvane.notices");
  return *queue;
}

std::shared_ptr<TaskQueue> noticeQueue() {
  std::lock_guard lock(mutex());
  return testQueue();
}

void show(const std::string& title, const std::string& body) {
  using platform::NotificationAuthorization;
  auto notifier = platform::userNotifier();
  bool failure = looksLikeFailure(title);
  if (!notifier) return showInStatusPanel(title, failure);
  bool allowed = false;
  switch (notifier->authorization()) {
    case NotificationAuthorization::Authorized:
    case NotificationAuthorization::Provisional:
    case NotificationAuthorization::Ephemeral:
      allowed = true;
      break;
    case NotificationAuthorization::NotDetermined:
      allowed = notifier->requestAuthorization();
      break;
    case NotificationAuthorization::Denied:
      break;
  }
  if (allowed && notifier->post(title, body, newUpperUuid())) return;
  showInStatusPanel(title, failure);
}

}  // namespace

bool looksLikeFailure(const std::string& text) {
  return text.find("✗") != std::string::npos || toLowerAscii(text).find("fail") != std::string::npos;
}

void installStatusPanel(StatusPanel panel) {
  std::lock_guard lock(mutex());
  panelSlot() = std::move(panel);
}

void showInStatusPanel(const std::string& text, bool failure) {
  StatusPanel panel;
  {
    std::lock_guard lock(mutex());
    panel = panelSlot();
  }
  if (panel) return panel(text, failure);
  // Info only: a note title must not reach the uploaded warnings.
  appLog(LogLevel::Info, "hud", std::string(failure ? "failure: " : "success: ") + text);
}

void postUserNotice(const std::string& title, const std::string& body) {
  std::string text = body.empty() ? title : title + " — " + body;
  addLogEntry(std::nullopt, text, looksLikeFailure(text) ? "error" : "info");
  auto task = [title, body] { show(title, body); };
  if (auto queue = noticeQueue()) return queue->post(std::move(task));
  ownQueue().post(std::move(task));
}

std::string runNoticeTitle(const std::string& noteTitle, bool succeeded) {
  return succeeded ? "✦ " + noteTitle + " — Corvane AI done" : "✗ " + noteTitle + " — Corvane AI failed";
}

std::string runNoticeBody(bool succeeded, const std::string& message) {
  std::string body;
  size_t start = 0;
  for (int line = 0; line < 2 && start <= message.size(); ++line) {
    size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    if (line > 0) body += ' ';
    body += message.substr(start, end - start);
    if (end == message.size()) break;
    start = end + 1;
  }
  if (body.empty()) return succeeded ? "Your results are on the note." : "See the note for details.";
  return body;
}

void postRunNotice(const std::string& noteTitle, bool succeeded, const std::string& message) {
  postUserNotice(runNoticeTitle(noteTitle, succeeded), runNoticeBody(succeeded, message));
}

void flushUserNotices() {
  if (noticeQueue()) return;
  ownQueue().flush();
}

void setNoticeQueueForTesting(std::shared_ptr<TaskQueue> queue) {
  std::lock_guard lock(mutex());
  testQueue() = std::move(queue);
}

}  // namespace corvane::records
