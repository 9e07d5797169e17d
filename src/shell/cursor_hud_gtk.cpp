#include "shell/cursor_hud_gtk.h"

#include <gtk/gtk.h>

#include <cmath>

#include "core/queue.h"
#include "records/app_log.h"
#include "shell/status_panel.h"

namespace corvane::shell {
namespace {

constexpr int kFrameMs = 16;

struct Panel {
  GtkWidget* window = nullptr;
  Rect frame;
  guint timer = 0;
  gint64 phaseStart = 0;  // monotonic µs
  enum class Phase { In, Hold, Out } phase = Phase::In;
};

gboolean drawBackground(GtkWidget* widget, cairo_t* cr, gpointer) {
  double w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
  double r = HudStyle::kCornerRadius;
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_paint(cr);
  cairo_new_sub_path(cr);
  cairo_arc(cr, w - r, r, r, -M_PI / 2, 0);
  cairo_arc(cr, w - r, h - r, r, 0, M_PI / 2);
  cairo_arc(cr, r, h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  double g = HudStyle::kBackgroundWhite;
  cairo_set_source_rgba(cr, g, g, g, HudStyle::kBackgroundAlpha);
  cairo_fill(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  return FALSE;  // the label draws on top
}

class GtkCursorHUD final : public platform::CursorHUD, public std::enable_shared_from_this<GtkCursorHUD> {
 public:
  void show(const std::string& text, bool success, bool atTop) override {
    // Info only: a note title must not reach the uploaded warnings.
    records::appLog(records::LogLevel::Info, "hud", std::string(success ? "success: " : "failure: ") + text);
    std::weak_ptr<GtkCursorHUD> weak = shared_from_this();
    mainQueue().post([weak, text, success, atTop] {
      if (auto self = weak.lock()) self->present(text, success, atTop);
    });
  }

  ~GtkCursorHUD() override { takeDown(); }

 private:
  void takeDown() {
    if (panel_.timer) g_source_remove(panel_.timer);
    if (panel_.window) gtk_widget_destroy(panel_.window);
    panel_ = Panel{};
  }

  void present(const std::string& text, bool success, bool atTop) {
    takeDown();
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;

    GtkWidget* window = gtk_window_new(GTK_WINDOW_POPUP);
    gtk_window_set_accept_focus(GTK_WINDOW(window), FALSE);
    gtk_window_set_focus_on_map(GTK_WINDOW(window), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_NOTIFICATION);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window), TRUE);
    gtk_window_set_skip_pager_hint(GTK_WINDOW(window), TRUE);
    gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
    gtk_widget_set_name(window, "corvane-hud");
    // Its own class, so it is never taken for the tray.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_window_set_wmclass(GTK_WINDOW(window), "corvane-hud", "Corvane");
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_widget_set_app_paintable(window, TRUE);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window)))
      gtk_widget_set_visual(window, rgba);
    g_signal_connect(window, "draw", G_CALLBACK(drawBackground), nullptr);

    GtkWidget* label = gtk_label_new(nullptr);
    Rgb c = hudTextColour(success);
    char* escaped = g_markup_escape_text(text.c_str(), -1);
    char* markup = g_strdup_printf("<span font_weight=\"bold\" font_size=\"%d\" foreground=\"#%02x%02x%02x\">%s</span>",
                                   static_cast<int>(HudStyle::kFontPoints * PANGO_SCALE),
                                   static_cast<int>(std::lround(c.r * 255)), static_cast<int>(std::lround(c.g * 255)),
                                   static_cast<int>(std::lround(c.b * 255)), escaped);
    gtk_label_set_markup(GTK_LABEL(label), markup);
    g_free(markup);
    g_free(escaped);
    GtkRequisition natural;
    gtk_widget_get_preferred_size(label, nullptr, &natural);
    Size size{natural.width + HudStyle::kPadWidth, natural.height + HudStyle::kPadHeight};
    GtkWidget* fixed = gtk_fixed_new();
    gtk_fixed_put(GTK_FIXED(fixed), label, static_cast<int>(HudStyle::kLabelX), static_cast<int>(HudStyle::kLabelY));
    gtk_container_add(GTK_CONTAINER(window), fixed);
    gtk_window_resize(GTK_WINDOW(window), static_cast<int>(size.width), static_cast<int>(size.height));

    // The screen under the pointer, else the primary, else the first.
    int px = 0, py = 0;
    GdkSeat* seat = gdk_display_get_default_seat(display);
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (pointer) gdk_device_get_position(pointer, nullptr, &px, &py);
    GdkMonitor* monitor = pointer ? gdk_display_get_monitor_at_point(display, px, py) : nullptr;
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    Rect screen = kFallbackVisibleFrame;
    if (monitor) {
      GdkRectangle wa;
      gdk_monitor_get_workarea(monitor, &wa);
      screen = {double(wa.x), double(wa.y), double(wa.width), double(wa.height)};
    }
    panel_.frame = hudFrame(screen, px, py, size, atTop);
    panel_.window = window;
    gtk_widget_set_opacity(window, 0);
    gtk_window_move(GTK_WINDOW(window), static_cast<int>(panel_.frame.x),
                    static_cast<int>(panel_.frame.y - HudStyle::kRise));
    gtk_widget_show_all(window);
    // Clicks go through to whatever is below.
    if (GdkWindow* gdkWindow = gtk_widget_get_window(window)) {
      cairo_region_t* none = cairo_region_create();
      gdk_window_input_shape_combine_region(gdkWindow, none, 0, 0);
      cairo_region_destroy(none);
    }
    panel_.phase = Panel::Phase::In;
    panel_.phaseStart = g_get_monotonic_time();
    panel_.timer = g_timeout_add(kFrameMs, &GtkCursorHUD::tick, this);
  }

  static gboolean tick(gpointer data) {
    auto* self = static_cast<GtkCursorHUD*>(data);
    Panel& p = self->panel_;
    double elapsed = (g_get_monotonic_time() - p.phaseStart) / 1000.0;
    auto ms = [](auto d) { return static_cast<double>(std::chrono::milliseconds(d).count()); };
    switch (p.phase) {
      case Panel::Phase::In: {
        double t = std::min(1.0, elapsed / ms(HudStyle::kFadeIn));
        gtk_widget_set_opacity(p.window, t);
        gtk_window_move(GTK_WINDOW(p.window), static_cast<int>(p.frame.x),
                        static_cast<int>(std::lround(p.frame.y - HudStyle::kRise * (1 - t))));
        if (t >= 1) {
          p.phase = Panel::Phase::Hold;
          p.phaseStart = g_get_monotonic_time();
        }
        return G_SOURCE_CONTINUE;
      }
      case Panel::Phase::Hold:
        if (elapsed >= ms(HudStyle::kHold)) {
          p.phase = Panel::Phase::Out;
          p.phaseStart = g_get_monotonic_time();
        }
        return G_SOURCE_CONTINUE;
      case Panel::Phase::Out: {
        double t = std::min(1.0, elapsed / ms(HudStyle::kFadeOut));
        gtk_widget_set_opacity(p.window, 1 - t);
        if (t < 1) return G_SOURCE_CONTINUE;
        p.timer = 0;  // this source ends here
        self->takeDown();
        return G_SOURCE_REMOVE;
      }
    }
    return G_SOURCE_REMOVE;
  }

  Panel panel_;  // main thread only
};

}  // namespace

std::shared_ptr<platform::CursorHUD> makeGtkCursorHUD() { return std::make_shared<GtkCursorHUD>(); }

}  // namespace corvane::shell
