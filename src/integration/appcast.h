#pragma once
// The release history read from the update feed (an RSS 2.0 appcast with the
// update namespace). Pure: bytes in, releases out; malformed content yields
// fewer releases, never a failure.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace corvane::integration {

// Elements and enclosure attributes "version" and "shortVersionString" count
// only in this namespace, whatever prefix the feed gives it.
inline constexpr std::string_view kUpdateNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

struct Release {
  std::string title;
  std::string version;
  std::string shortVersion;
  std::string pubDate;
  std::string notesHTML;
  std::string link;  // the item's release page, for the update notice
};

// The items completed before the end of the document or the first parse error,
// in document order. Documents that declare entities are read only up to the
// declaration, so no entity expansion can blow up.
std::vector<Release> parseAppcast(std::string_view xml);

// "Tue, 02 Jan 2024 10:00:00 +0000" → the instant; nullopt when not in that form.
std::optional<std::time_t> parseFeedDate(std::string_view text);
// The entry's date: "2 Jan 2024" in the local time zone, else the text unchanged.
std::string formatFeedDate(std::string_view pubDate);

// The history entries the page shows ("version", "title", "date", "notes").
Json historyEntries(const std::vector<Release>& releases);

// Compares dotted versions numerically ("1.10" > "1.9"); negative, 0 or positive.
int compareVersions(std::string_view a, std::string_view b);

}  // namespace corvane::integration
