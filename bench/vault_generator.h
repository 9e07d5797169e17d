#pragma once
// Writes a vault of N notes as real users have them: mixed scripts (Latin with
// accents, Cyrillic, Greek, CJK, Arabic, emoji), 4 KB of text on average
// (1–7 KB), file names with spaces and non-ASCII letters, some notes with
// YAML front matter and "#" headings, some saved by the tray as markup.
// Deterministic for a seed, so runs compare.
#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/files.h"

namespace corvane::bench {

inline const std::vector<std::string>& vaultWords() {
  static const std::vector<std::string> words = {
      "meeting", "budget",  "roadmap", "review",   "launch",  "client",  "travel", "draft",  "idea",
      "café",    "Réunion", "über",    "naïve",    "façade",  "проект",  "встреча", "задача", "отчёт",
      "σχέδιο",  "ιδέα",    "会議",    "議事録",   "予定",    "프로젝트", "회의",    "مشروع",  "اجتماع",
      "🚀",      "✅",      "notes",   "schedule", "invoice", "design",  "sprint", "garden", "recipe"};
  return words;
}

inline std::string vaultLine(std::mt19937& rng, size_t words) {
  const auto& w = vaultWords();
  std::string out;
  for (size_t i = 0; i < words; ++i) {
    if (i) out += ' ';
    out += w[rng() % w.size()];
  }
  return out;
}

struct GeneratedVault {
  std::vector<std::string> ids;
  size_t bytes = 0;
};

// Writes `count` notes into `folder` (created); modification times spread
// over a year so the listing has a real order.
inline GeneratedVault generateVault(const std::filesystem::path& folder, size_t count, unsigned seed = 7) {
  std::filesystem::create_directories(folder);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> size(1024, 7168);
  GeneratedVault out;
  const time_t now = ::time(nullptr);
  for (size_t i = 0; i < count; ++i) {
    std::string title = vaultLine(rng, 2 + rng() % 3) + " " + std::to_string(i);
    std::string id = title;
    for (char& c : id)
      if (c == '/' || c == '\\' || c == '.') c = '-';
    while (id.size() > 120) id.pop_back();
    while (!id.empty() && (static_cast<unsigned char>(id.back()) & 0xC0) == 0x80) id.pop_back();
    if (!id.empty() && (static_cast<unsigned char>(id.back()) & 0x80)) id.pop_back();
    std::string text;
    const size_t kind = i % 10;
    if (kind == 0) text += "---\ntags: [work, " + vaultLine(rng, 1) + "]\ncreated: 2025-01-01\n---\n";
    if (kind < 6) text += "# " + title + "\n\n";
    else if (kind < 9) text += title + "\n";
    const size_t target = size(rng);
    if (kind == 9) {
      text += "<div>" + title + "</div>";
      while (text.size() < target) text += "<div>" + vaultLine(rng, 12) + "</div>";
    } else {
      while (text.size() < target) text += vaultLine(rng, 12) + (rng() % 4 == 0 ? "\n\n" : "\n");
    }
    const auto file = folder / (id + ".md");
    if (!writeFileAtomic(file, text, 0600)) std::abort();
    struct timeval times[2] = {{now - static_cast<time_t>(rng() % (365 * 86400)), 0}, {}};
    times[1] = times[0];
    ::utimes(file.c_str(), times);
    out.ids.push_back(std::move(id));
    out.bytes += text.size();
  }
  return out;
}

}  // namespace corvane::bench
