#include "export/selection_export.h"

#include <charconv>

#include "core/text.h"
#include "export/auto_format.h"
#include "export/readers.h"

namespace corvane::exports {

namespace {

constexpr std::string_view kNothingSelected = "\xE2\x9C\x95 Nothing selected";  // ✕
constexpr std::string_view kExportFailedStatus = "\xE2\x9C\x95 Export failed";
constexpr std::string_view kExportFailedTitle = "\xE2\x9C\x97 Export failed";  // ✗
constexpr std::string_view kSaved = "\xE2\x9C\x93 Saved ";                     // ✓

bool isPlainColor(const std::optional<Color>& c) {
  if (!c) return true;
  return c->r == 0 && c->g == 0 && c->b == 0 && c->a == 1;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

bool hasFormatting(const RichText& text) {
  const RunStyle* previous = nullptr;
  for (const auto& run : text.runs()) {
    const RunStyle& s = run.style;
    if (s.paragraph || !s.link.empty() || s.attachment || s.background || s.strike || s.baseline != 0 || s.kern != 0 ||
        s.underline || s.bold() || s.italic || s.obliqueness != 0 || !isPlainColor(s.color))
      return true;
    if (previous && (previous->size != s.size || previous->fontName != s.fontName || previous->font != s.font)) return true;
    previous = &s;
  }
  return false;
}

Result<ExportRequest> makeExportRequest(const std::vector<SelectionContent>& flavours, std::string_view extension) {
  std::optional<std::string> firstFailure;
  auto accept = [&](RichText rich) -> std::optional<ExportRequest> {
    std::string plain = rich.string();
    if (plain.empty()) return std::nullopt;
    ExportRequest r;
    r.autoFormat = !hasFormatting(rich);
    r.plain = std::move(plain);
    r.rich = std::move(rich);
    r.extension = std::string(extension);
    return r;
  };
  for (auto kind : {SelectionContent::Kind::Rtf, SelectionContent::Kind::Html, SelectionContent::Kind::PlainText}) {
    for (const auto& f : flavours) {
      if (f.kind != kind || f.data.empty()) continue;
      Result<RichText> rich = kind == SelectionContent::Kind::Rtf    ? readRtf(f.data)
                              : kind == SelectionContent::Kind::Html ? readHtml(f.data)
                                                                     : Result<RichText>(readPlainText(f.data));
      if (!rich) {
        if (!firstFailure) firstFailure = rich.message();
        continue;
      }
      if (auto r = accept(std::move(*rich))) return std::move(*r);
    }
  }
  if (firstFailure) return fail(*firstFailure);
  return fail("Nothing selected");
}

PickerKey pickerKeyAction(std::string_view characters, bool isEscape) {
  if (isEscape) return {PickerKey::Action::Close, {}};
  std::string_view t = trimUnicodeWhitespace(characters);
  int n = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
  if (!t.empty() && ec == std::errc() && end == t.data() + t.size() && n >= 1 && n <= 5)
    return {PickerKey::Action::Pick, kExportFormats[n - 1].extension};
  return {PickerKey::Action::PassThrough, {}};
}

ExportService::ExportService(ExportDesktop& desktop, SelectionSource& source, FormatPicker& picker, const Clock& clock,
                             std::function<std::filesystem::path()> folder)
    : desktop_(desktop), source_(source), picker_(picker), clock_(clock), folder_(std::move(folder)) {}

void ExportService::saveSelection() {
  const MonoTime now = clock_.monotonicNow();
  const bool tooSoon = lastRunAt_ && now - *lastRunAt_ <= std::chrono::milliseconds(500);
  lastRunAt_ = now;  // measured from the last press, acted on or not
  if (tooSoon) return;
  if (desktop_.onboardingActive()) {
    desktop_.emitEvent("onboard:action", "null");
    return;
  }
  if (!desktop_.accessibilityTrusted()) {
    desktop_.showMainWindow();
    desktop_.emitEvent("perm:needed", R"({"kind":"accessibility"})");
    return;
  }
  desktop_.runInBackground([this] { captureSelection(); });
}

void ExportService::captureSelection() {
  if (auto flavours = source_.copySelection()) {
    desktop_.runOnMain([this, f = std::move(*flavours)] { showFormatPicker(f); });
    return;
  }
  std::optional<std::string> selected = source_.accessibleSelection();
  if (selected && !selected->empty()) {
    desktop_.runOnMain([this, text = std::move(*selected)] {
      source_.setClipboardText(text);
      showFormatPicker({{SelectionContent::Kind::PlainText, text}});
    });
    return;
  }
  desktop_.runOnMain([this] {
    if (!desktop_.accessibilityTrusted()) {
      desktop_.showMainWindow();
      desktop_.emitEvent("perm:needed", R"({"kind":"accessibility"})");
    } else {
      desktop_.showStatus(std::string(kNothingSelected), false);
    }
  });
}

void ExportService::showFormatPicker(const std::vector<SelectionContent>& flavours) {
  // The flavours are read once; the chosen format only picks the writer.
  auto request = makeExportRequest(flavours, "");
  if (!request) {
    if (request.message() == "Nothing selected") {
      desktop_.showStatus(std::string(kNothingSelected), false);
    } else {
      desktop_.showStatus(std::string(kExportFailedStatus), false);
      desktop_.postNotice(std::string(kExportFailedTitle), request.message());
    }
    return;
  }
  auto shared = std::make_shared<ExportRequest>(std::move(*request));
  picker_.show(
      [this, shared](std::string_view extension) {
        shared->extension = std::string(extension);
        desktop_.runOnMain([this, shared] { exportDocument(*shared); });
      },
      [] {});
}

void ExportService::exportDocument(const ExportRequest& request) {
  const std::filesystem::path folder = folder_();
  const std::string base = uniqueBaseName(folder, artifactBaseName(clock_.now()));
  auto written = exports::exportDocument(request, folder, base);
  if (!written) {
    desktop_.showStatus(std::string(kExportFailedStatus), false);
    std::string body = written.message().empty() ? "Could not write " + base + "." + request.extension + "." : written.message();
    desktop_.postNotice(std::string(kExportFailedTitle), body);
    return;
  }
  const std::string fileName = written->filename().string();
  desktop_.showStatus(std::string(kSaved) + savedLabel(request.plain, written->stem().string()), true);
  desktop_.postNotice(std::string(kSaved) + fileName,
                      "Exported to ~/Desktop/CorvaneFiles as " + upper(request.extension) + ".");
  desktop_.recordDocument();
  desktop_.emitEvent("onboard:action", "null");
  if (desktop_.backupEnabled()) desktop_.backupExport(*written);
}

}  // namespace corvane::exports
