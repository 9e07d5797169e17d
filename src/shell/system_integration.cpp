#include "shell/system_integration.h"

#include <gtk/gtk.h>

#include <memory>
#include <thread>

#include "bridge/shell_hooks.h"
#include "core/json.h"
#include "core/queue.h"
#include "integration/updates.h"
#include "platform/linux/pam/pam_authenticator.h"
#include "platform/owner_auth.h"
#include "records/app_log.h"
#include "records/settings.h"
#include "shell/seams.h"

namespace corvane::shell {
namespace {

using integration::UpdateService;
using records::appLog;
using records::LogLevel;

void openUri(const std::string& uri) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
    appLog(LogLevel::Warn, "updates", std::string("could not open the release page: ") + (error ? error->message : ""));
    if (error) g_error_free(error);
  }
}

// The notice for a finished check; the page gets the same finding as an event.
void announce(const UpdateService::CheckReport& report) {
  Json payload = Json::object();
  payload["userInitiated"] = report.userInitiated;
  if (report.newer) {
    payload["version"] = report.newer->version;
    payload["title"] = report.newer->title;
    payload["link"] = report.newer->link;
  }
  if (report.failure) payload["error"] = *report.failure;
  bridge::emitEvent(report.newer ? "update:available" : "update:checked", dumpCompact(payload));
  appLog(LogLevel::Info, "updates",
         report.newer ? "version " + report.newer->version + " is available"
                      : report.failure ? "check failed: " + *report.failure : std::string("up to date"));

  GtkWidget* dialog = nullptr;
  if (report.newer) {
    dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE,
                                    "Corvane %s is available", report.newer->version.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             "You can download it from its release page.");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Later", GTK_RESPONSE_CLOSE);
    if (!report.newer->link.empty()) gtk_dialog_add_button(GTK_DIALOG(dialog), "Open Release Page", GTK_RESPONSE_ACCEPT);
  } else if (report.userInitiated) {
    dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                    report.failure ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s",
                                    report.failure ? "Update check failed" : "You're up to date");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             report.failure ? report.failure->c_str()
                                                            : "Corvane " CORVANE_VERSION_STRING " is the newest version.");
  }
  if (!dialog) return;
  auto* link = new std::string(report.newer ? report.newer->link : "");
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
                     auto* uri = static_cast<std::string*>(data);
                     if (response == GTK_RESPONSE_ACCEPT && !uri->empty()) openUri(*uri);
                     delete uri;
                     gtk_widget_destroy(GTK_WIDGET(d));
                   }),
                   link);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_widget_show_all(dialog);
}

// ---- the password dialog

struct UnlockDialog {
  GtkWidget* dialog = nullptr;
  GtkWidget* entry = nullptr;
  GtkWidget* message = nullptr;
  std::function<void(bool)> done;
  bool checking = false;
};

void finish(UnlockDialog* u, bool passed) {
  auto done = std::move(u->done);
  gtk_widget_destroy(u->dialog);
  delete u;
  if (done) done(passed);
}

void onResponse(GtkDialog*, int response, gpointer data) {
  auto* u = static_cast<UnlockDialog*>(data);
  if (u->checking) return;
  if (response != GTK_RESPONSE_ACCEPT) {
    finish(u, false);
    return;
  }
  auto auth = platform::OwnerAuthenticator::shared();
  if (!auth) {
    finish(u, false);
    return;
  }
  std::string password = gtk_entry_get_text(GTK_ENTRY(u->entry));
  u->checking = true;
  gtk_widget_set_sensitive(u->dialog, FALSE);
  gtk_label_set_text(GTK_LABEL(u->message), "Checking…");
  // PAM may sleep after a wrong password; the check runs off the main thread.
  std::thread([u, auth, password = std::move(password)]() mutable {
    const bool ok = auth->verify(password);
    std::fill(password.begin(), password.end(), '\0');
    mainQueue().post([u, ok] {
      if (ok) {
        appLog(LogLevel::Info, "lock", "unlocked");
        finish(u, true);
        return;
      }
      appLog(LogLevel::Info, "lock", "wrong password");
      u->checking = false;
      gtk_widget_set_sensitive(u->dialog, TRUE);
      gtk_label_set_text(GTK_LABEL(u->message), "Wrong password. Try again.");
      gtk_entry_set_text(GTK_ENTRY(u->entry), "");
      gtk_widget_grab_focus(u->entry);
    });
  }).detach();
}

void askPassword(std::function<void(bool)> done) {
  auto auth = platform::OwnerAuthenticator::shared();
  if (!auth || !auth->available()) {
    // Never "passed": without a way to check, the tray stays locked and says why.
    const std::string why = auth ? auth->available().error() : std::string(platform::kLockUnavailable);
    appLog(LogLevel::Warn, "lock", why);
    GtkWidget* d = gtk_message_dialog_new(nullptr, GtkDialogFlags(0), GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s",
                                          "Corvane is locked");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(d), "%s", why.c_str());
    g_signal_connect(d, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(d);
    done(false);
    return;
  }
  auto* u = new UnlockDialog;
  u->done = std::move(done);
  u->dialog = gtk_dialog_new_with_buttons("Unlock Corvane", nullptr, GtkDialogFlags(0), "Cancel",
                                          GTK_RESPONSE_CANCEL, "Unlock", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_keep_above(GTK_WINDOW(u->dialog), TRUE);
  gtk_window_set_position(GTK_WINDOW(u->dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(u->dialog), GTK_RESPONSE_ACCEPT);
  GtkWidget* box = gtk_dialog_get_content_area(GTK_DIALOG(u->dialog));
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_box_set_spacing(GTK_BOX(box), 8);
  gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Enter your password to unlock Corvane."), FALSE, FALSE, 0);
  u->entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(u->entry), FALSE);
  gtk_entry_set_input_purpose(GTK_ENTRY(u->entry), GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_activates_default(GTK_ENTRY(u->entry), TRUE);
  gtk_widget_set_name(u->entry, "corvane-unlock-password");
  gtk_box_pack_start(GTK_BOX(box), u->entry, FALSE, FALSE, 0);
  u->message = gtk_label_new("");
  gtk_box_pack_start(GTK_BOX(box), u->message, FALSE, FALSE, 0);
  g_signal_connect(u->dialog, "response", G_CALLBACK(onResponse), u);
  gtk_widget_show_all(u->dialog);
  gtk_window_present(GTK_WINDOW(u->dialog));
  gtk_widget_grab_focus(u->entry);
}

}  // namespace

void installSystemIntegrationSeams() {
  platform::OwnerAuthenticator::setShared(platform::makePamAuthenticator());
  auto& s = seams();
  s.startUpdater = [] {
    // Checks wait on the network; they run on their own queue, notices on the main one.
    static auto queue = std::make_shared<SerialQueue>("com.corvane.updates");
    UpdateService::shared().startScheduler(queue, [](const UpdateService::CheckReport& report) {
      mainQueue().post([report] { announce(report); });
    });
  };
  s.checkForUpdates = [] { UpdateService::shared().checkNow(); };
}

void installUnlockGate(WindowServices& services) {
  services.unlockRequired = [] { return records::Settings::load().requireBiometricUnlock; };
  services.authenticate = [](std::function<void(bool)> done) { askPassword(std::move(done)); };
}

}  // namespace corvane::shell
