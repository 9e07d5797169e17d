#pragma once
// Styled text from what a selection carries: HTML, RTF or plain text.
#include <string_view>

#include "core/result.h"
#include "export/rich_text.h"

namespace corvane::exports {

// Plain text in the system font at 12 points; invalid UTF-8 is repaired.
RichText readPlainText(std::string_view text);

// HTML: scripts, styles and other non-content elements are dropped; every
// block gets a paragraph style; only data-URI images become attachments
// (nothing is fetched). Fails on input too large or nested too deeply.
Result<RichText> readHtml(std::string_view html);

// RTF: groups, fonts, sizes, bold/italic/underline/strike, colours,
// paragraphs, Unicode escapes and HYPERLINK fields; pictures are skipped.
// Fails on input that is not RTF or nests groups too deeply.
Result<RichText> readRtf(std::string_view rtf);

inline constexpr size_t kMaxHtmlBytes = 8 * 1024 * 1024;
inline constexpr int kMaxNesting = 512;

}  // namespace corvane::exports
