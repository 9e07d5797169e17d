#include "shell/approval_dialog.h"

#include <gtk/gtk.h>

#include <future>

#include "platform/confirmation_dialog.h"

namespace corvane::shell {
namespace {

// Keeps the promise; answers false if the task is destroyed without running.
struct Answer {
  std::promise<bool> promise;
  bool given = false;
  void give(bool value) {
    if (given) return;
    given = true;
    promise.set_value(value);
  }
  ~Answer() { give(false); }
};

bool runDialog(GtkWindow* parent, const platform::ConfirmationRequest& r) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                             GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", r.message.c_str());
  if (!r.informativeText.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", r.informativeText.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), r.cancelButton.empty() ? "Cancel" : r.cancelButton.c_str(),
                        GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog), r.confirmButton.empty() ? "OK" : r.confirmButton.c_str(),
                        GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_window_set_title(GTK_WINDOW(dialog), "Corvane");
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_present(GTK_WINDOW(dialog));
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response == GTK_RESPONSE_ACCEPT;
}

}  // namespace

bool askOnQueue(TaskQueue& main, std::function<bool()> ask) {
  if (main.runsTasksInCurrentSequence()) return ask();
  auto answer = std::make_shared<Answer>();
  auto future = answer->promise.get_future();
  // The task holds the only reference: running it answers, dropping it declines.
  main.post([answer = std::move(answer), ask = std::move(ask)]() mutable {
    answer->give(ask());
    answer.reset();
  });
  return future.get();
}

void installApprovalDialog(std::function<void*()> parentWindow, std::function<bool()> declineAll) {
  platform::installConfirmationDialog(std::make_shared<platform::FunctionConfirmation>(
      [parentWindow = std::move(parentWindow), declineAll = std::move(declineAll)](
          const platform::ConfirmationRequest& request) {
        return askOnQueue(mainQueue(), [&] {
          if (declineAll && declineAll()) return false;
          auto* parent = parentWindow ? static_cast<GtkWindow*>(parentWindow()) : nullptr;
          return runDialog(parent, request);
        });
      }));
}

}  // namespace corvane::shell
