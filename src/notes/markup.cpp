#include "notes/markup.h"

namespace corvane::notes {

std::string htmlToText(std::string_view html) { return std::string(html); }
std::string previewText(std::string_view plain, std::string_view title) { return std::string(plain); }
std::string richPreview(std::string_view html) { return {}; }
bool keepStyleDeclaration(std::string_view declaration) { return false; }
std::string truncateMarkup(std::string_view html, long long limit) { return std::string(html); }
std::vector<std::string> imageSources(std::string_view html, long long max) { return {}; }

}  // namespace corvane::notes
