#pragma once
// Styled text: a sequence of runs, each a piece of UTF-8 text with the
// attributes it is shown with. Paragraphs end at "\n"; a paragraph's style is
// carried by its runs (the style at its first character decides). Embedded
// images are runs whose text is U+FFFC and which carry an attachment.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::exports {

struct Color {
  double r = 0, g = 0, b = 0, a = 1;
  bool operator==(const Color&) const = default;
  static Color black() { return {0, 0, 0, 1}; }
  // The grey of secondary labels on a light background.
  static Color secondaryLabel() { return {0.235, 0.235, 0.263, 0.6}; }
};

enum class FontRole { System, Monospaced };

// An embedded file, usually an image. `bytes` may be empty when the source
// had an image that could not be read.
struct Attachment {
  std::string bytes;
  std::string fileName;  // as the source named it, may be empty
};

// One list a paragraph belongs to; nested lists come outermost first.
struct TextList {
  std::string markerFormat;  // "{disc}", "{decimal}", "{lower-roman}", …
  bool operator==(const TextList&) const = default;
};

struct ParagraphStyle {
  double spacingBefore = 0, spacingAfter = 0;
  double firstLineHeadIndent = 0, headIndent = 0;
  double lineSpacing = 0;  // extra points between lines
  std::vector<TextList> lists;
  bool operator==(const ParagraphStyle&) const = default;
};

struct RunStyle {
  FontRole font = FontRole::System;
  std::string fontName;  // the source's family name when known
  double size = 12;
  int weight = 400;      // 400 regular, 600 semibold, 700 bold
  bool italic = false;
  double obliqueness = 0;
  std::optional<Color> color;       // none: the text colour
  std::optional<Color> background;
  std::string link;                 // address, empty when none
  std::shared_ptr<const Attachment> attachment;
  bool underline = false, strike = false;
  double baseline = 0, kern = 0;
  std::shared_ptr<const ParagraphStyle> paragraph;  // none: the default style

  bool bold() const { return weight >= 600; }
  bool sameAs(const RunStyle& o) const;
};

struct Run {
  std::string text;
  RunStyle style;
};

class RichText {
 public:
  // Appends text with a style; merges into the last run when the style is the same.
  void append(std::string_view text, const RunStyle& style);
  void append(const RichText& other);
  void appendAttachment(std::shared_ptr<const Attachment> attachment, const RunStyle& style);

  const std::vector<Run>& runs() const { return runs_; }
  std::vector<Run>& runs() { return runs_; }
  std::string string() const;
  bool empty() const;
  bool hasAttachments() const;

  // Paragraphs without their terminating line break: runs cut at "\n".
  struct Paragraph {
    std::vector<Run> runs;
    std::string text() const;
  };
  std::vector<Paragraph> paragraphs() const;

 private:
  std::vector<Run> runs_;
};

// The text of an attachment run (OBJECT REPLACEMENT CHARACTER).
inline constexpr std::string_view kAttachmentChar = "\xEF\xBF\xBC";

}  // namespace corvane::exports
