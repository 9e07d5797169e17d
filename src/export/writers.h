#pragma once
// Document encoders for styled text: RTF, RTFD packages, Word (WordprocessingML
// in a zip), PDF (laid out with Pango, drawn with cairo, paginated here).
// Encoders return bytes so a failed export never leaves a partial file; the
// caller writes them atomically.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"
#include "export/rich_text.h"

namespace corvane::exports {

std::string encodeRtf(const RichText& text);

// An RTFD package: "TXT.rtf" plus one file per attachment, written into a
// temporary folder beside `package` and renamed into place.
Result<void> writeRtfd(const RichText& text, const std::filesystem::path& package);

// The zip parts of a Word document, in archive order (name, content).
std::vector<std::pair<std::string, std::string>> docxParts(const RichText& text);
Result<std::string> encodeDocx(const RichText& text);

struct PageSetup {
  double width = 595.28, height = 841.89;  // points
  double left = 72, right = 72, top = 72, bottom = 72;
};
// A4 or US Letter from the paper of the user's locale (LC_PAPER, LC_ALL, LANG).
PageSetup pageSetupFromLocale();

Result<std::string> encodePdf(const RichText& text, const PageSetup& page = pageSetupFromLocale());

// UTF-8 with invalid sequences replaced and characters XML 1.0 forbids dropped.
std::string xmlSafeText(std::string_view text);

}  // namespace corvane::exports
