#pragma once
// User notices: every message the system tells the user is added to the
// notification log, then shown as a desktop notification when a notification
// service is there and allowed, or else in the status panel near the pointer.
// Callers never wait for the desktop: posting runs on its own serial queue
// ("com.corvane.notices"), never on the main thread.
#include <functional>
#include <memory>
#include <string>

#include "core/queue.h"

namespace corvane::records {

// Logs "title — body" (or the title alone) and shows the notice.
void postUserNotice(const std::string& title, const std::string& body);
// The notice for a finished AI run on the note titled `noteTitle`.
void postRunNotice(const std::string& noteTitle, bool succeeded, const std::string& message);

// What postRunNotice posts, for callers and tests.
std::string runNoticeTitle(const std::string& noteTitle, bool succeeded);
std::string runNoticeBody(bool succeeded, const std::string& message);
// "error" when the text holds "✗" or, in any case, "fail"; otherwise "info".
bool looksLikeFailure(const std::string& text);

// The status panel near the pointer; the shell installs the real panel. Until
// then the text is written to the application log with the activity "hud".
using StatusPanel = std::function<void(const std::string& text, bool failure)>;
void installStatusPanel(StatusPanel panel);
void showInStatusPanel(const std::string& text, bool failure);

// Blocks until every notice posted so far has been shown (before exit).
void flushUserNotices();
// Tests post on their own queue (a FakeScheduler queue); nullptr restores ours.
void setNoticeQueueForTesting(std::shared_ptr<TaskQueue> queue);

}  // namespace corvane::records
