#include "export/rich_text.h"

namespace corvane::exports {

namespace {
template <class T>
bool samePtr(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}
}  // namespace

bool RunStyle::sameAs(const RunStyle& o) const {
  return font == o.font && fontName == o.fontName && size == o.size && weight == o.weight &&
         italic == o.italic && obliqueness == o.obliqueness && color == o.color &&
         background == o.background && link == o.link && attachment == o.attachment &&
         underline == o.underline && strike == o.strike && baseline == o.baseline && kern == o.kern &&
         samePtr(paragraph, o.paragraph);
}

void RichText::append(std::string_view text, const RunStyle& style) {
  if (text.empty()) return;
  if (style.attachment) {
    // Only appendAttachment makes attachment runs; text keeps the rest of the style.
    RunStyle plain = style;
    plain.attachment.reset();
    append(text, plain);
    return;
  }
  if (!runs_.empty() && !runs_.back().style.attachment && runs_.back().style.sameAs(style)) {
    runs_.back().text.append(text);
    return;
  }
  runs_.push_back({std::string(text), style});
}

void RichText::append(const RichText& other) {
  for (const auto& run : other.runs_) {
    if (run.style.attachment) runs_.push_back(run);
    else append(run.text, run.style);
  }
}

void RichText::appendAttachment(std::shared_ptr<const Attachment> attachment, const RunStyle& style) {
  RunStyle s = style;
  s.attachment = std::move(attachment);
  runs_.push_back({std::string(kAttachmentChar), std::move(s)});
}

std::string RichText::string() const {
  std::string out;
  size_t n = 0;
  for (const auto& r : runs_) n += r.text.size();
  out.reserve(n);
  for (const auto& r : runs_) out += r.text;
  return out;
}

bool RichText::empty() const {
  for (const auto& r : runs_)
    if (!r.text.empty()) return false;
  return true;
}

bool RichText::hasAttachments() const {
  for (const auto& r : runs_)
    if (r.style.attachment) return true;
  return false;
}

std::string RichText::Paragraph::text() const {
  std::string out;
  for (const auto& r : runs) out += r.text;
  return out;
}

std::vector<RichText::Paragraph> RichText::paragraphs() const {
  std::vector<Paragraph> out;
  Paragraph current;
  bool open = false;
  for (const auto& run : runs_) {
    std::string_view text = run.text;
    size_t start = 0;
    while (start <= text.size()) {
      size_t nl = text.find_first_of("\r\n", start);
      std::string_view piece = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
      if (!piece.empty()) {
        current.runs.push_back({std::string(piece), run.style});
        open = true;
      }
      if (nl == std::string_view::npos) break;
      // "\r\n" ends one paragraph, not two.
      size_t next = nl + 1;
      if (text[nl] == '\r' && next < text.size() && text[next] == '\n') ++next;
      out.push_back(std::move(current));
      current = {};
      open = false;
      start = next;
      if (start == text.size()) break;
    }
  }
  if (open) out.push_back(std::move(current));
  return out;
}

}  // namespace corvane::exports
