#include "shell/status_item.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "records/app_log.h"

namespace corvane::shell {
namespace {

using records::appLog;
using records::LogLevel;

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";

constexpr const char* kIntrospection = R"XML(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ia{sas})" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated"><arg type="u" name="revision"/><arg type="i" name="parent"/></signal>
    <signal name="ItemActivationRequested"><arg type="i" name="id"/><arg type="u" name="timestamp"/></signal>
  </interface>
</node>)XML";

GVariant* itemProperties(int id) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  if (id == 0) {
    g_variant_builder_add(&b, "{sv}", "children-display", g_variant_new_string("submenu"));
  } else {
    for (const auto& e : statusMenuEntries()) {
      if (e.id != id) continue;
      if (e.label.empty()) {
        g_variant_builder_add(&b, "{sv}", "type", g_variant_new_string("separator"));
      } else {
        g_variant_builder_add(&b, "{sv}", "label", g_variant_new_string(e.label.c_str()));
        g_variant_builder_add(&b, "{sv}", "enabled", g_variant_new_boolean(TRUE));
        g_variant_builder_add(&b, "{sv}", "visible", g_variant_new_boolean(TRUE));
      }
    }
  }
  return g_variant_builder_end(&b);
}

GVariant* layoutOf(int id, int depth) {
  GVariantBuilder children;
  g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
  if (id == 0 && depth != 0) {
    for (const auto& e : statusMenuEntries())
      g_variant_builder_add(&children, "v", layoutOf(e.id, depth < 0 ? -1 : depth - 1));
  }
  return g_variant_new("(i@a{sv}av)", id, itemProperties(id), &children);
}

}  // namespace

const std::vector<StatusMenuEntry>& statusMenuEntries() {
  static const std::vector<StatusMenuEntry> entries{
      {1, "Show / Hide Grid"}, {2, ""}, {3, "Check for Updates…"}, {4, ""}, {5, "Quit Corvane"}};
  return entries;
}

struct StatusItem::Impl {
  Actions actions;
  std::string iconDirectory;
  GDBusConnection* bus = nullptr;
  GDBusNodeInfo* node = nullptr;
  guint itemReg = 0, menuReg = 0, nameId = 0, watchId = 0;
  std::string name;
  bool registeredOnce = false;
  GObject* xembedIcon = nullptr;  // GtkStatusIcon, only while no watcher runs
  GtkWidget* xembedMenu = nullptr;

  void startXEmbedFallback();
  void stopXEmbedFallback();

  void run(const std::function<void()>& f) {
    if (f) f();
  }

  void menuEvent(int id, const std::string& eventId) {
    if (eventId != "clicked") return;
    if (id == 1) run(actions.toggle);
    else if (id == 3) run(actions.checkForUpdates);
    else if (id == 5) run(actions.quit);
  }

  void registerWithWatcher() {
    g_dbus_connection_call(
        bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
        "RegisterStatusNotifierItem", g_variant_new("(s)", name.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000,
        nullptr,
        [](GObject* src, GAsyncResult* res, gpointer) {
          GError* error = nullptr;
          GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(src), res, &error);
          if (r) {
            g_variant_unref(r);
            appLog(LogLevel::Info, "tray", "status item registered with the watcher");
          } else {
            appLog(LogLevel::Warn, "tray",
                   std::string("no status-item host: ") + (error ? error->message : "watcher did not answer"));
            if (error) g_error_free(error);
          }
        },
        nullptr);
  }
};

// Panels without StatusNotifierItem support still embed XEmbed tray icons.
// GtkStatusIcon is deprecated but is the toolkit's only XEmbed client.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void StatusItem::Impl::startXEmbedFallback() {
  if (xembedIcon || !gdk_display_get_default()) return;
  std::string file = iconDirectory + "/corvane.svg";
  GtkStatusIcon* icon = g_file_test(file.c_str(), G_FILE_TEST_EXISTS) ? gtk_status_icon_new_from_file(file.c_str())
                                                                        : gtk_status_icon_new_from_icon_name("corvane");
  gtk_status_icon_set_tooltip_text(icon, "Corvane");
  gtk_status_icon_set_title(icon, "Corvane");
  xembedMenu = gtk_menu_new();
  g_object_ref_sink(xembedMenu);
  for (const auto& e : statusMenuEntries()) {
    GtkWidget* item = e.label.empty() ? gtk_separator_menu_item_new() : gtk_menu_item_new_with_label(e.label.c_str());
    if (!e.label.empty()) {
      g_object_set_data(G_OBJECT(item), "corvane-id", GINT_TO_POINTER(e.id));
      g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* mi, gpointer data) {
                         static_cast<Impl*>(data)->menuEvent(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(mi), "corvane-id")),
                                                             "clicked");
                       }),
                       this);
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(xembedMenu), item);
  }
  gtk_widget_show_all(xembedMenu);
  g_signal_connect(icon, "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer data) {
                     static_cast<Impl*>(data)->run(static_cast<Impl*>(data)->actions.toggle);
                   }),
                   this);
  g_signal_connect(icon, "popup-menu", G_CALLBACK(+[](GtkStatusIcon*, guint, guint32, gpointer data) {
                     gtk_menu_popup_at_pointer(GTK_MENU(static_cast<Impl*>(data)->xembedMenu), nullptr);
                   }),
                   this);
  xembedIcon = G_OBJECT(icon);
}

void StatusItem::Impl::stopXEmbedFallback() {
  if (xembedIcon) {
    gtk_status_icon_set_visible(GTK_STATUS_ICON(xembedIcon), FALSE);
    g_object_unref(xembedIcon);
    xembedIcon = nullptr;
  }
  if (xembedMenu) {
    gtk_widget_destroy(xembedMenu);
    g_object_unref(xembedMenu);
    xembedMenu = nullptr;
  }
}
#pragma GCC diagnostic pop

namespace {

void onItemCall(GDBusConnection*, const gchar*, const gchar*, const gchar* iface, const gchar* method,
                GVariant* params, GDBusMethodInvocation* inv, gpointer data) {
  auto* impl = static_cast<StatusItem::Impl*>(data);
  std::string m = method;
  if (std::string(iface) == "org.kde.StatusNotifierItem") {
    g_dbus_method_invocation_return_value(inv, nullptr);
    if (m == "Activate") impl->run(impl->actions.toggle);
    return;
  }
  if (m == "GetLayout") {
    gint parent = 0, depth = -1;
    GVariant* names = nullptr;
    g_variant_get(params, "(ii@as)", &parent, &depth, &names);
    g_variant_unref(names);
    g_dbus_method_invocation_return_value(inv, g_variant_new("(u@(ia{sv}av))", 1u, layoutOf(parent, depth)));
  } else if (m == "GetGroupProperties") {
    GVariantIter* ids = nullptr;
    GVariant* names = nullptr;
    g_variant_get(params, "(ai@as)", &ids, &names);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(ia{sv})"));
    gint id = 0;
    while (g_variant_iter_loop(ids, "i", &id)) g_variant_builder_add(&b, "(i@a{sv})", id, itemProperties(id));
    g_variant_iter_free(ids);
    g_variant_unref(names);
    g_dbus_method_invocation_return_value(inv, g_variant_new("(a(ia{sv}))", &b));
  } else if (m == "GetProperty") {
    gint id = 0;
    const gchar* name = nullptr;
    g_variant_get(params, "(i&s)", &id, &name);
    GVariant* props = itemProperties(id);
    GVariant* v = g_variant_lookup_value(props, name, nullptr);
    g_variant_unref(g_variant_ref_sink(props));
    if (!v) {
      g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.InvalidArgs", "no such property");
      return;
    }
    g_dbus_method_invocation_return_value(inv, g_variant_new("(v)", v));
    g_variant_unref(v);
  } else if (m == "Event") {
    gint id = 0;
    const gchar* ev = nullptr;
    GVariant* d = nullptr;
    guint32 ts = 0;
    g_variant_get(params, "(i&svu)", &id, &ev, &d, &ts);
    std::string evs = ev;
    g_variant_unref(d);
    g_dbus_method_invocation_return_value(inv, nullptr);
    impl->menuEvent(id, evs);
  } else if (m == "EventGroup") {
    GVariantIter* it = nullptr;
    g_variant_get(params, "(a(isvu))", &it);
    std::vector<std::pair<int, std::string>> events;
    gint id = 0;
    const gchar* ev = nullptr;
    GVariant* d = nullptr;
    guint32 ts = 0;
    while (g_variant_iter_loop(it, "(i&svu)", &id, &ev, &d, &ts)) events.emplace_back(id, ev);
    g_variant_iter_free(it);
    g_dbus_method_invocation_return_value(inv, g_variant_new("(@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    for (const auto& [i, e] : events) impl->menuEvent(i, e);
  } else if (m == "AboutToShow") {
    g_dbus_method_invocation_return_value(inv, g_variant_new("(b)", FALSE));
  } else if (m == "AboutToShowGroup") {
    g_dbus_method_invocation_return_value(inv, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                                             g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
  } else {
    g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.UnknownMethod", method);
  }
}

GVariant* onItemProperty(GDBusConnection*, const gchar*, const gchar*, const gchar* iface, const gchar* prop,
                         GError** error, gpointer data) {
  auto* impl = static_cast<StatusItem::Impl*>(data);
  std::string p = prop;
  if (std::string(iface) == "com.canonical.dbusmenu") {
    if (p == "Version") return g_variant_new_uint32(3);
    if (p == "TextDirection") return g_variant_new_string("ltr");
    if (p == "Status") return g_variant_new_string("normal");
    if (p == "IconThemePath") return g_variant_new_strv(nullptr, 0);
  } else {
    if (p == "Category") return g_variant_new_string("ApplicationStatus");
    if (p == "Id") return g_variant_new_string("corvane");
    if (p == "Title") return g_variant_new_string("Corvane");
    if (p == "Status") return g_variant_new_string("Active");
    if (p == "WindowId") return g_variant_new_int32(0);
    if (p == "IconName") return g_variant_new_string("corvane");
    if (p == "IconThemePath") return g_variant_new_string(impl->iconDirectory.c_str());
    if (p == "ToolTip")
      return g_variant_new("(s@a(iiay)ss)", "corvane", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                           "Corvane", "");
    if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (p == "Menu") return g_variant_new_object_path(kMenuPath);
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", prop);
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {onItemCall, onItemProperty, nullptr, {nullptr}};

}  // namespace

std::unique_ptr<StatusItem> StatusItem::create(Actions actions, const std::string& iconDirectory) {
  auto item = std::unique_ptr<StatusItem>(new StatusItem());
  item->impl_ = std::make_unique<Impl>();
  Impl* impl = item->impl_.get();
  impl->actions = std::move(actions);
  impl->iconDirectory = iconDirectory;
  GError* error = nullptr;
  impl->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!impl->bus) {
    appLog(LogLevel::Warn, "tray",
           std::string("no session bus; using an XEmbed tray icon: ") + (error ? error->message : "?"));
    if (error) g_error_free(error);
    impl->startXEmbedFallback();
    return item;
  }
  impl->node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  impl->itemReg = g_dbus_connection_register_object(impl->bus, kItemPath, impl->node->interfaces[0], &kVTable, impl,
                                                    nullptr, nullptr);
  impl->menuReg = g_dbus_connection_register_object(impl->bus, kMenuPath, impl->node->interfaces[1], &kVTable, impl,
                                                    nullptr, nullptr);
  impl->name = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
  impl->nameId = g_bus_own_name_on_connection(impl->bus, impl->name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                              nullptr, nullptr, nullptr);
  // Register now and again whenever a watcher (a panel) appears later.
  impl->watchId = g_bus_watch_name_on_connection(
      impl->bus, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        auto* i = static_cast<Impl*>(data);
        i->registeredOnce = true;
        i->stopXEmbedFallback();
        i->registerWithWatcher();
      },
      [](GDBusConnection*, const gchar*, gpointer data) {
        auto* i = static_cast<Impl*>(data);
        if (!i->registeredOnce) {
          appLog(LogLevel::Warn, "tray",
                 "no status-item host (no StatusNotifierWatcher on the session bus); using an XEmbed tray icon");
          i->registeredOnce = true;
        }
        i->startXEmbedFallback();
      },
      impl, nullptr);
  return item;
}

StatusItem::~StatusItem() {
  if (!impl_) return;
  impl_->stopXEmbedFallback();
  if (!impl_->bus) return;
  if (impl_->watchId) g_bus_unwatch_name(impl_->watchId);
  if (impl_->nameId) g_bus_unown_name(impl_->nameId);
  if (impl_->itemReg) g_dbus_connection_unregister_object(impl_->bus, impl_->itemReg);
  if (impl_->menuReg) g_dbus_connection_unregister_object(impl_->bus, impl_->menuReg);
  if (impl_->node) g_dbus_node_info_unref(impl_->node);
  g_object_unref(impl_->bus);
}

std::string StatusItem::busName() const { return impl_ ? impl_->name : std::string(); }

}  // namespace corvane::shell
