// A bare WebKitGTK window: the floor for the tray's launch-to-first-reply time.
// Loads the page folder given as argv[1] from file://, injects the same
// bootstrap script, answers "list_notes" with [] at once, and on the page's
// first "log_client_event" prints the wall-clock time in milliseconds since
// 1970 and exits.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bridge/bootstrap_script.h"

namespace {

WebKitWebView* gView = nullptr;

void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  JSCValue* v = webkit_javascript_result_get_js_value(result);
  JSCValue* idv = jsc_value_object_get_property(v, "callId");
  JSCValue* cmdv = jsc_value_object_get_property(v, "cmd");
  long id = static_cast<long>(jsc_value_to_double(idv));
  char* cmd = jsc_value_to_string(cmdv);
  std::string c = cmd ? cmd : "";
  g_free(cmd);
  g_object_unref(idv);
  g_object_unref(cmdv);
  if (c == "log_client_event") {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    std::printf("%lld\n", static_cast<long long>(ms));
    std::fflush(stdout);
    gtk_main_quit();
    return;
  }
  std::string reply = "window.__cvResolve(" + std::to_string(id) + ", true, " + (c == "list_notes" ? "[]" : "null") + ");";
  webkit_web_view_evaluate_javascript(gView, reply.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bare_webkit_window PAGE_FOLDER\n");
    return 2;
  }
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window), 1094, 720);
  WebKitUserContentManager* ucm = webkit_user_content_manager_new();
  WebKitUserScript* boot =
      webkit_user_script_new(std::string(corvane::bridge::kBootstrapScript).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(ucm, boot);
  webkit_user_content_manager_register_script_message_handler(ucm, "corvane");
  g_signal_connect(ucm, "script-message-received::corvane", G_CALLBACK(onMessage), nullptr);
  gView = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(ucm));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(gView));
  gtk_widget_show_all(window);
  gchar* uri = g_filename_to_uri((std::string(argv[1]) + "/index.html").c_str(), nullptr, nullptr);
  webkit_web_view_load_uri(gView, uri);
  g_free(uri);
  gtk_main();
  return 0;
}
