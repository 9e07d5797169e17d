// PDF: each paragraph is laid out by Pango at the printable width and its
// lines are placed on pages here, so a paragraph breaks across pages between
// lines. Fonts are the DejaVu families; cairo embeds the subsets used.
#include <cairo-pdf.h>
#include <langinfo.h>
#include <locale.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/text.h"
#include "export/writers.h"

namespace corvane::exports {

namespace {

constexpr double kLetterWidth = 612, kLetterHeight = 792;
constexpr double kA4Width = 595.28, kA4Height = 841.89;

bool territoryUsesLetter(std::string_view locale) {
  // language_TERRITORY.codeset@modifier
  size_t us = locale.find('_');
  if (us == std::string_view::npos) return false;
  std::string_view territory = locale.substr(us + 1, 2);
  for (std::string_view t : {"US", "CA", "MX", "CL", "CO", "VE", "PH", "PR", "CR", "GT", "SV", "NI", "PA", "DO"})
    if (territory == t) return true;
  return false;
}

cairo_status_t appendToString(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct PngReader {
  std::string_view data;
  size_t offset = 0;
};
cairo_status_t readPng(void* closure, unsigned char* out, unsigned int length) {
  auto* r = static_cast<PngReader*>(closure);
  if (r->data.size() - r->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, r->data.data() + r->offset, length);
  r->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

// An image drawn in place of an attachment character, scaled to `scale`.
struct ShapeImage {
  cairo_surface_t* surface = nullptr;
  double scale = 1;
  ~ShapeImage() {
    if (surface) cairo_surface_destroy(surface);
  }
};

void renderShape(cairo_t* cr, PangoAttrShape* attr, gboolean doPath, gpointer) {
  if (doPath || !attr->data) return;
  auto* img = static_cast<ShapeImage*>(attr->data);
  double x, y;
  cairo_get_current_point(cr, &x, &y);
  cairo_save(cr);
  cairo_translate(cr, x, y + static_cast<double>(attr->logical_rect.y) / PANGO_SCALE);
  cairo_scale(cr, img->scale, img->scale);
  cairo_set_source_surface(cr, img->surface, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

guint16 channel(double v) { return static_cast<guint16>(std::lround(std::clamp(v, 0.0, 1.0) * 65535)); }

void insert(PangoAttrList* list, PangoAttribute* a, guint start, guint end) {
  a->start_index = start;
  a->end_index = end;
  pango_attr_list_insert(list, a);
}

std::string escapeTagString(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

struct LinkSpan {
  int start, end;  // byte range in the paragraph text
  std::string uri;
};

class PdfLayout {
 public:
  PdfLayout(const PageSetup& page, std::string& out) : page_(page) {
    surface_ = cairo_pdf_surface_create_for_stream(appendToString, &out, page.width, page.height);
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "Corvane");
    cr_ = cairo_create(surface_);
    ctx_ = pango_cairo_create_context(cr_);
    pango_cairo_context_set_resolution(ctx_, 72);
    cairo_font_options_t* opts = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(opts, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(opts, CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(ctx_, opts);
    cairo_font_options_destroy(opts);
    pango_cairo_context_set_shape_renderer(ctx_, renderShape, nullptr, nullptr);
    layout_ = pango_layout_new(ctx_);
    PangoFontDescription* base = pango_font_description_from_string("DejaVu Sans 12");
    pango_layout_set_font_description(layout_, base);
    pango_font_description_free(base);
    pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
    y_ = page.top;
  }
  ~PdfLayout() {
    g_object_unref(layout_);
    g_object_unref(ctx_);
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }

  void paragraph(const RichText::Paragraph& para) {
    const ParagraphStyle* p = para.runs.empty() ? nullptr : para.runs.front().style.paragraph.get();
    ParagraphStyle none;
    if (!p) p = &none;
    std::string text;
    PangoAttrList* attrs = pango_attr_list_new();
    std::vector<LinkSpan> links;
    for (const auto& run : para.runs) {
      const RunStyle& s = run.style;
      auto start = static_cast<guint>(text.size());
      if (s.attachment) {
        if (!addImage(*s.attachment, attrs, text)) continue;
      } else {
        text += sanitizeUtf8(run.text);
      }
      auto end = static_cast<guint>(text.size());
      if (start == end) continue;
      insert(attrs, pango_attr_family_new(s.font == FontRole::Monospaced ? "DejaVu Sans Mono" : "DejaVu Sans"), start, end);
      insert(attrs, pango_attr_size_new(static_cast<int>(std::lround(std::max(s.size, 1.0) * PANGO_SCALE))), start, end);
      if (s.weight != 400) insert(attrs, pango_attr_weight_new(static_cast<PangoWeight>(s.weight)), start, end);
      if (s.italic || s.obliqueness > 0) insert(attrs, pango_attr_style_new(PANGO_STYLE_OBLIQUE), start, end);
      if (s.color) {
        insert(attrs, pango_attr_foreground_new(channel(s.color->r), channel(s.color->g), channel(s.color->b)), start, end);
        if (s.color->a < 1) insert(attrs, pango_attr_foreground_alpha_new(channel(s.color->a)), start, end);
      }
      if (s.background)
        insert(attrs, pango_attr_background_new(channel(s.background->r), channel(s.background->g), channel(s.background->b)),
               start, end);
      if (s.underline) insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE), start, end);
      if (s.strike) insert(attrs, pango_attr_strikethrough_new(TRUE), start, end);
      if (s.baseline) insert(attrs, pango_attr_rise_new(static_cast<int>(s.baseline * PANGO_SCALE)), start, end);
      if (s.kern) insert(attrs, pango_attr_letter_spacing_new(static_cast<int>(s.kern * PANGO_SCALE)), start, end);
      if (!s.link.empty()) {
        if (!links.empty() && links.back().uri == s.link && links.back().end == static_cast<int>(start))
          links.back().end = static_cast<int>(end);
        else
          links.push_back({static_cast<int>(start), static_cast<int>(end), s.link});
      }
    }
    const double width = page_.width - page_.left - page_.right;
    const double left = page_.left + p->headIndent;
    pango_layout_set_width(layout_, static_cast<int>(std::max(width - p->headIndent, 36.0) * PANGO_SCALE));
    pango_layout_set_indent(layout_, static_cast<int>((p->firstLineHeadIndent - p->headIndent) * PANGO_SCALE));
    pango_layout_set_spacing(layout_, static_cast<int>(p->lineSpacing * PANGO_SCALE));
    pango_layout_set_text(layout_, text.data(), static_cast<int>(text.size()));
    pango_layout_set_attributes(layout_, attrs);
    pango_attr_list_unref(attrs);

    if (pageHasContent_) y_ += p->spacingBefore;
    const double bottom = page_.height - page_.bottom;
    double origin = y_;  // page position of the layout's top
    PangoLayoutIter* iter = pango_layout_get_iter(layout_);
    double lastBottom = y_;
    do {
      PangoRectangle logical;
      pango_layout_iter_get_line_extents(iter, nullptr, &logical);
      double top = origin + static_cast<double>(logical.y) / PANGO_SCALE;
      double lineBottom = top + static_cast<double>(logical.height) / PANGO_SCALE;
      if (lineBottom > bottom && pageHasContent_) {
        cairo_show_page(cr_);
        pageHasContent_ = false;
        origin = page_.top - static_cast<double>(logical.y) / PANGO_SCALE;
        top = page_.top;
        lineBottom = top + static_cast<double>(logical.height) / PANGO_SCALE;
      }
      PangoLayoutLine* line = pango_layout_iter_get_line_readonly(iter);
      double baseline = origin + static_cast<double>(pango_layout_iter_get_baseline(iter)) / PANGO_SCALE;
      double x = left + static_cast<double>(logical.x) / PANGO_SCALE;
      cairo_move_to(cr_, x, baseline);
      pango_cairo_show_layout_line(cr_, line);
      for (const auto& link : links) linkArea(line, link, x, top, lineBottom - top);
      pageHasContent_ = true;
      lastBottom = lineBottom;
    } while (pango_layout_iter_next_line(iter));
    pango_layout_iter_free(iter);
    y_ = lastBottom + p->spacingAfter;
    images_.clear();
  }

  Result<void> finish() {
    cairo_surface_finish(surface_);
    cairo_status_t status = cairo_surface_status(surface_);
    if (status != CAIRO_STATUS_SUCCESS) return fail(std::string("PDF print operation failed: ") + cairo_status_to_string(status));
    return ok();
  }

 private:
  bool addImage(const Attachment& a, PangoAttrList* attrs, std::string& text) {
    if (a.bytes.size() < 8 || a.bytes.compare(1, 3, "PNG") != 0) return false;
    PngReader reader{a.bytes, 0};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readPng, &reader);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(surface);
      return false;
    }
    auto img = std::make_unique<ShapeImage>();
    img->surface = surface;
    double w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    double maxW = page_.width - page_.left - page_.right, maxH = page_.height - page_.top - page_.bottom;
    img->scale = std::min({1.0, maxW / std::max(w, 1.0), maxH / std::max(h, 1.0)});
    PangoRectangle rect{0, static_cast<int>(-h * img->scale * PANGO_SCALE), static_cast<int>(w * img->scale * PANGO_SCALE),
                        static_cast<int>(h * img->scale * PANGO_SCALE)};
    auto start = static_cast<guint>(text.size());
    text += kAttachmentChar;
    insert(attrs, pango_attr_shape_new_with_data(&rect, &rect, img.get(), nullptr, nullptr), start,
           static_cast<guint>(text.size()));
    images_.push_back(std::move(img));
    return true;
  }

  void linkArea(PangoLayoutLine* line, const LinkSpan& link, double x, double top, double height) {
    int lineStart = line->start_index, lineEnd = line->start_index + line->length;
    int s = std::max(link.start, lineStart), e = std::min(link.end, lineEnd);
    if (s >= e) return;
    int* ranges = nullptr;
    int n = 0;
    pango_layout_line_get_x_ranges(line, s, e, &ranges, &n);
    for (int i = 0; i < n; ++i) {
      double x0 = x + static_cast<double>(ranges[2 * i]) / PANGO_SCALE;
      double x1 = x + static_cast<double>(ranges[2 * i + 1]) / PANGO_SCALE;
      std::string attr = "rect=[" + std::to_string(x0) + " " + std::to_string(top) + " " + std::to_string(x1 - x0) + " " +
                         std::to_string(height) + "] uri='" + escapeTagString(link.uri) + "'";
      cairo_tag_begin(cr_, CAIRO_TAG_LINK, attr.c_str());
      cairo_tag_end(cr_, CAIRO_TAG_LINK);
    }
    g_free(ranges);
  }

  PageSetup page_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
  PangoContext* ctx_;
  PangoLayout* layout_;
  double y_;
  bool pageHasContent_ = false;
  std::vector<std::unique_ptr<ShapeImage>> images_;
};

}  // namespace

PageSetup pageSetupFromLocale() {
  PageSetup page;
  // The paper of the user's locale when it is installed, else its territory.
  if (locale_t loc = newlocale(LC_PAPER_MASK, "", static_cast<locale_t>(nullptr))) {
    union {
      const char* s;
      unsigned int w;
    } width{}, height{};
    width.s = nl_langinfo_l(_NL_PAPER_WIDTH, loc);
    height.s = nl_langinfo_l(_NL_PAPER_HEIGHT, loc);
    freelocale(loc);
    if (width.w == 216 && height.w == 279) {
      page.width = kLetterWidth;
      page.height = kLetterHeight;
      return page;
    }
  }
  const char* name = nullptr;
  for (const char* var : {"LC_ALL", "LC_PAPER", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      name = v;
      break;
    }
  }
  if (name && territoryUsesLetter(name)) {
    page.width = kLetterWidth;
    page.height = kLetterHeight;
  } else {
    page.width = kA4Width;
    page.height = kA4Height;
  }
  return page;
}

Result<std::string> encodePdf(const RichText& text, const PageSetup& page) {
  std::string out;
  {
    PdfLayout layout(page, out);
    auto paragraphs = text.paragraphs();
    if (paragraphs.empty()) paragraphs.emplace_back();
    for (const auto& para : paragraphs) layout.paragraph(para);
    CORVANE_TRY(layout.finish());
  }
  if (out.empty()) return fail("PDF print operation failed.");
  return out;
}

}  // namespace corvane::exports

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig, Pango and GLib keep process-wide caches they never free; the
// leak checker would report them at every exit of a program that drew text.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libpango-1.0.so\nleak:libpangoft2-1.0.so\nleak:libpangocairo-1.0.so\n"
         "leak:libharfbuzz.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libcairo.so\n";
}
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif
