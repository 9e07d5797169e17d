#pragma once
// Selection export: the action that copies the front application's selection,
// offers five formats and writes the chosen document. The rules live here; the
// desktop (copy keystroke, clipboard, accessibility, picker panel, status
// panel, notices) is reached through the small interfaces below, so the flow
// runs the same against fakes in tests.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/result.h"
#include "export/export_document.h"
#include "export/rich_text.h"

namespace corvane::exports {

struct ExportFormat {
  int number;                  // the key that picks it
  std::string_view extension;  // "pdf", …
  std::string_view name;       // "PDF", …
};
// In picker order.
inline constexpr ExportFormat kExportFormats[] = {
    {1, "pdf", "PDF"}, {2, "docx", "Word"}, {3, "txt", "Text"}, {4, "rtf", "Rich Text"}, {5, "md", "Markdown"}};

// One flavour of what the clipboard holds.
struct SelectionContent {
  enum class Kind { Rtf, Html, PlainText, Image };
  Kind kind;
  std::string data;
};

// True when any run carries styling beyond plain text in one font: a
// paragraph style, link, attachment, background, strike, baseline, kern,
// underline, bold or italic, a colour other than black or the text colour, or a
// font or size different from the run before (the first run has none before).
bool hasFormatting(const RichText& text);

// The styled text of the first flavour (RTF, HTML, plain text) that decodes to
// non-empty text, with its plain characters and the auto-format choice. Fails
// with "Nothing selected" when none has text, or with the reason a flavour
// could not be read when no other had text.
Result<ExportRequest> makeExportRequest(const std::vector<SelectionContent>& flavours, std::string_view extension);

// What a key pressed while the picker is open does.
struct PickerKey {
  enum class Action { Pick, Close, PassThrough };
  Action action;
  std::string_view extension;  // for Pick
};
// `characters` are the key's characters ignoring modifiers.
PickerKey pickerKeyAction(std::string_view characters, bool isEscape);

// The desktop around the export; every call but runInBackground comes from
// the main thread.
class ExportDesktop {
 public:
  virtual ~ExportDesktop() = default;
  virtual bool onboardingActive() = 0;
  virtual bool accessibilityTrusted() = 0;
  virtual void showMainWindow() = 0;
  virtual void emitEvent(std::string_view name, std::string_view payloadJson) = 0;
  virtual void showStatus(const std::string& text, bool success) = 0;  // the cursor status panel
  virtual void postNotice(const std::string& title, const std::string& body) = 0;
  virtual void recordDocument() = 0;                             // statistics: one document
  virtual void backupExport(const std::filesystem::path& file) = 0;  // the media library copy
  virtual bool backupEnabled() = 0;                              // backupExportsToMediaStore
  virtual void runInBackground(std::function<void()> work) = 0;
  virtual void runOnMain(std::function<void()> work) = 0;
};

// The front application's selection.
class SelectionSource {
 public:
  virtual ~SelectionSource() = default;
  // Waits for the modifier keys to be released (at most 0.4 s), sends the copy
  // keystroke and polls the clipboard (20 × 0.05 s); the flavours it then
  // holds, or nothing when it did not change.
  virtual std::optional<std::vector<SelectionContent>> copySelection() = 0;
  // The focused element's selected text through the accessibility bus.
  virtual std::optional<std::string> accessibleSelection() = 0;
  // Puts plain text on the clipboard (the accessibility fallback does).
  virtual void setClipboardText(const std::string& text) = 0;
};

// The five-format panel: exactly one of the callbacks runs, on the main thread.
class FormatPicker {
 public:
  virtual ~FormatPicker() = default;
  virtual void show(std::function<void(std::string_view extension)> onPick, std::function<void()> onCancel) = 0;
};

class ExportService {
 public:
  ExportService(ExportDesktop& desktop, SelectionSource& source, FormatPicker& picker, const Clock& clock,
                std::function<std::filesystem::path()> folder = exportFolder);

  // The action: debounced to one run per 0.5 s measured from the last press.
  void saveSelection();
  // Background: copy path, else the accessibility selection.
  void captureSelection();
  // Main thread: reads the flavours and opens the picker.
  void showFormatPicker(const std::vector<SelectionContent>& flavours);
  // Main thread: writes the document and tells the user.
  void exportDocument(const ExportRequest& request);

 private:
  ExportDesktop& desktop_;
  SelectionSource& source_;
  FormatPicker& picker_;
  const Clock& clock_;
  std::function<std::filesystem::path()> folder_;
  std::optional<MonoTime> lastRunAt_;
};

}  // namespace corvane::exports
