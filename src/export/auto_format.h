#pragma once
// Auto-format: loosely typed plain text to structured blocks (title, headings,
// lists, quotes, code, paragraphs), rendered as styled text or Markdown; styled
// text back to Markdown; images detached from styled text for Word files.
// Every function is pure.
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "export/rich_text.h"

namespace corvane::exports {

struct ListItem {
  int level = 0;  // nesting depth 0…3
  std::string text;
  bool operator==(const ListItem&) const = default;
};

struct Block {
  enum class Kind { Title, Heading, List, Quote, Code, Paragraph };
  Kind kind = Kind::Paragraph;
  int level = 0;                   // Heading: 1…3
  bool ordered = false;            // List
  std::string text;                // Title, Heading
  std::vector<ListItem> items;     // List
  std::vector<std::string> lines;  // Quote, Code, Paragraph
  bool operator==(const Block&) const = default;

  static Block title(std::string t) { return {Kind::Title, 0, false, std::move(t), {}, {}}; }
  static Block heading(int level, std::string t) { return {Kind::Heading, level, false, std::move(t), {}, {}}; }
  static Block list(bool ordered, std::vector<ListItem> items) {
    return {Kind::List, 0, ordered, {}, std::move(items), {}};
  }
  static Block quote(std::vector<std::string> l) { return {Kind::Quote, 0, false, {}, {}, std::move(l)}; }
  static Block code(std::vector<std::string> l) { return {Kind::Code, 0, false, {}, {}, std::move(l)}; }
  static Block paragraph(std::vector<std::string> l) { return {Kind::Paragraph, 0, false, {}, {}, std::move(l)}; }
};

struct AutoFormat {
  static std::vector<std::string> prepareLines(std::string_view text);
  static std::vector<Block> parse(std::string_view text);
  static RichText renderRichText(std::string_view text);
  static RichText renderBlocks(const std::vector<Block>& blocks);
  static std::string renderMarkdown(std::string_view text);
  static std::string renderMarkdownBlocks(const std::vector<Block>& blocks);
  static std::string richTextToMarkdown(const RichText& text);

  struct Detached {
    RichText text;
    std::vector<std::pair<std::string, std::string>> files;  // (file name, bytes)
  };
  static Detached detachImages(const RichText& text, std::string_view baseName);

  static bool looksLikeHeading(std::string_view line);
  static bool looksLikeTitle(std::string_view line);
  static bool isTitleCase(const std::vector<std::string_view>& words);
};

// Extension sniffed from the first bytes of a file ("png", "jpg", "gif", "webp", "pdf", "bin").
std::string_view sniffExtension(std::string_view bytes);

}  // namespace corvane::exports
