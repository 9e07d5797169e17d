#include "ai/ai_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "ai/process_runner.h"
#include "core/files.h"
#include "core/paths.h"
#include "core/text.h"
#include "insights/stats.h"
#include "media/image_codec.h"
#include "media/note_images.h"
#include "notes/store_cache.h"
#include "records/notices.h"
#include "records/private_files.h"
#include "records/settings.h"

namespace corvane::ai {
namespace fs = std::filesystem;

namespace {

// ---- process-wide run state (two locks, never held together)

std::mutex& activeMutex() {
  static std::mutex m;
  return m;
}
bool& activeFlag() {
  static bool active = false;
  return active;
}
std::mutex& processMutex() {
  static std::mutex m;
  return m;
}
std::optional<ProcessHandle>& runningProcess() {
  static std::optional<ProcessHandle> handle;
  return handle;
}

struct ActiveRun {
  bool admitted = false;
  ActiveRun() {
    std::lock_guard lock(activeMutex());
    if (activeFlag()) return;
    activeFlag() = admitted = true;
  }
  ~ActiveRun() {
    if (!admitted) return;
    std::lock_guard lock(activeMutex());
    activeFlag() = false;
  }
};

std::string trimmed(std::string_view text) { return std::string(trimUnicodeWhitespace(text)); }

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// Trims whitespace other than line breaks (a line holds none but a CR).
std::string_view trimLine(std::string_view line) { return trimUnicodeWhitespace(line); }

bool isRunImageName(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string ext = toLowerAscii(name.substr(dot + 1));
  return ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "gif" || ext == "webp" || ext == "heic";
}

bool notBefore(const struct timespec& t, const struct timespec& since) {
  return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

// A regular file that lies directly in `folder` (links followed must stay
// there) and changed no earlier than `since`; its stat on success.
std::optional<struct stat> runFile(const fs::path& folder, const fs::path& entry,
                                   const std::optional<struct timespec>& since) {
  std::error_code ec;
  fs::path realFolder = fs::canonical(folder, ec);
  if (ec) return std::nullopt;
  fs::path real = fs::canonical(entry, ec);
  if (ec || real.parent_path() != realFolder) return std::nullopt;
  struct stat st {};
  if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (since && !notBefore(st.st_ctim, *since)) return std::nullopt;
  return st;
}

// The first Markdown image of a line: (alt, target, whole match) or nothing.
struct MarkdownImage {
  std::string_view alt, target;
};
std::optional<MarkdownImage> firstMarkdownImage(std::string_view line) {
  size_t from = 0;
  while ((from = line.find("![", from)) != std::string_view::npos) {
    size_t altStart = from + 2;
    size_t close = line.find(']', altStart);
    if (close == std::string_view::npos) return std::nullopt;  // no later start can close either
    if (close + 1 < line.size() && line[close + 1] == '(') {
      size_t targetStart = close + 2;
      size_t i = targetStart;
      while (i < line.size() && line[i] != ')' && line[i] != ' ' && line[i] != '\t' && line[i] != '\n' &&
             line[i] != '\r' && line[i] != '\f' && line[i] != '\v')
        ++i;
      if (i > targetStart && i < line.size() && line[i] == ')')
        return MarkdownImage{line.substr(altStart, close - altStart), line.substr(targetStart, i - targetStart)};
    }
    from += 2;
  }
  return std::nullopt;
}

icu::DateFormat::EStyle icuStyle(DateStyle s) {
  return s == DateStyle::Short ? icu::DateFormat::kShort : icu::DateFormat::kMedium;
}

std::string nowText(const AiRunContext& c, DateStyle date, DateStyle time) {
  return formatRunDate(c.clock->now(), date, time, c.locale, c.timeZone);
}

std::string fmtCost(double cost) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", cost);
  return buffer;
}

}  // namespace

// ---- texts and blocks

std::string formatRunDate(WallTime when, DateStyle date, DateStyle time, const std::string& locale,
                          const std::string& timeZone) {
  icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
  std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(icuStyle(date), icuStyle(time), loc));
  if (!format) return "";
  if (!timeZone.empty()) format->adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
  icu::UnicodeString text;
  format->format(static_cast<UDate>(unixMillis(when)), text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string escapeMarkupText(std::string_view text) { return escapeHtmlText(text); }

std::string escapeAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string startedBlock(AIProvider provider, const fs::path& folder, const std::string& date) {
  char budget[32];
  std::snprintf(budget, sizeof budget, "%.2f", kMaxBudgetUsd);
  return "<div><br></div><h1>✦ Corvane AI — started " + escapeMarkupText(date) + "</h1>" + "<div>Provider: " +
         std::string(providerName(provider)) + " · max-turns " + std::to_string(kMaxTurns) + " · budget $" + budget +
         " · timeout " + std::to_string(static_cast<int>(kRunTimeLimitSeconds)) + "s</div>" + "<div>Folder: " +
         escapeMarkupText(folder.string()) + "</div>" + "<div>Running… the result will be appended below.</div>";
}

std::string doneBlock(const AIRunResult& result, const std::string& date) {
  std::string html = "<div><br></div><h1>✦ Corvane AI — done " + escapeMarkupText(date) + "</h1>";
  std::vector<bool> used(result.images.size(), false);
  for (auto line : splitLines(result.resultText)) {
    bool asImage = false;
    if (auto image = firstMarkdownImage(line)) {
      for (size_t i = 0; i < result.images.size(); ++i) {
        if (result.images[i].fileName != image->target) continue;
        html += "<div><img src=\"" + escapeAttribute(result.images[i].dataUri) + "\" alt=\"" +
                escapeAttribute(image->alt) + "\"></div>";
        used[i] = asImage = true;
        break;
      }
    }
    if (!asImage) html += "<div>" + escapeMarkupText(line) + "</div>";
  }
  for (size_t i = 0; i < result.images.size(); ++i)
    if (!used[i]) html += "<div><img src=\"" + escapeAttribute(result.images[i].dataUri) + "\"></div>";
  if (!result.details.empty()) {
    html += "<div><br></div>";
    for (auto line : splitLines(result.details)) html += "<div><i>" + escapeMarkupText(line) + "</i></div>";
  }
  return html;
}

std::string failedBlock(const std::string& message, const std::string& date) {
  std::string html = "<div><br></div><h1>✗ Corvane AI failed — " + escapeMarkupText(date) + "</h1>";
  for (auto line : splitLines(message)) html += "<div>" + escapeMarkupText(line) + "</div>";
  return html;
}

std::string buildPrompt(const std::string& request) {
  return "You are Corvane's assistant. The user's request:\n\n<REQUEST>\n" + request +
         "\n</REQUEST>\n\nDo exactly what's asked, working only inside the current folder. When done:\n"
         "• Write your full answer as Markdown to a file named RESULT.md in this folder.\n"
         "• If the request asks for images, save each one as a real image file in this\n"
         "  folder (image-1.png, image-2.jpg, …) — fetch/download them as needed.\n"
         "• Print a single final line starting with \"SUMMARY: \" — one sentence on what you produced.\n\n"
         "The durable output is RESULT.md plus any image files; keep other printing minimal.";
}

// ---- instruction

std::optional<std::string> newInstruction(std::string_view current, std::string_view previous) {
  std::string_view cur = trimUnicodeWhitespace(current);
  if (cur.empty()) return std::nullopt;
  std::string_view prev = trimUnicodeWhitespace(previous);
  if (prev.empty()) return std::string(cur);
  std::unordered_map<std::string_view, int64_t> seen;
  seen.reserve(1024);
  for (auto line : splitLines(prev)) {
    auto t = trimLine(line);
    if (!t.empty()) ++seen[t];
  }
  std::string kept;
  kept.reserve(cur.size() / 4);
  bool first = true;
  for (auto line : splitLines(cur)) {
    auto t = trimLine(line);
    if (t.empty()) continue;
    if (auto it = seen.find(t); it != seen.end() && it->second > 0) {
      --it->second;
      continue;
    }
    if (!first) kept += '\n';
    kept.append(line);
    first = false;
  }
  std::string result = trimmed(kept);
  if (result.empty()) return std::nullopt;
  return result;
}

// ---- folders and images

std::string runFolderSlug(std::string_view title) {
  std::string lower = toLowerAscii(title);
  std::string slug;
  bool pendingDash = false;
  for (char c : lower) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!keep) {
      pendingDash = true;
      continue;
    }
    if (pendingDash && !slug.empty()) slug += '-';
    pendingDash = false;
    slug += c;
  }
  // A file name has at most 255 bytes; the time and a dash follow.
  if (slug.size() > 120) slug.resize(120);
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return slug.empty() ? "action" : slug;
}

fs::path defaultRunFolder(std::string_view title, WallTime now) {
  auto seconds = static_cast<long long>(unixSeconds(now));
  return dataDirectory() / "CorvaneAI" / (runFolderSlug(title) + "-" + std::to_string(seconds));
}

std::optional<std::string> jpegDataURL(const fs::path& file, int maxPixelSize) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > kMaxRunImageFileBytes) return std::nullopt;
  auto jpeg = media::makeJpegThumbnail(file, maxPixelSize, kRunImageQuality);
  if (!jpeg) return std::nullopt;
  return "data:image/jpeg;base64," + media::base64Encode(*jpeg);
}

std::vector<RunImage> collectRunImages(const fs::path& folder, size_t limit, std::optional<struct timespec> since) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (isRunImageName(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());  // bytewise = code-point order for UTF-8
  std::vector<std::string> chosen;
  for (const auto& name : names) {
    if (chosen.size() >= limit) break;
    if (runFile(folder, folder / name, since)) chosen.push_back(name);
  }
  // Decoding dominates: two workers share the images.
  std::vector<std::optional<std::string>> converted(chosen.size());
  auto work = [&](size_t from) {
    for (size_t i = from; i < chosen.size(); i += 2) converted[i] = jpegDataURL(folder / chosen[i], kRunImageMaxSide);
  };
  if (chosen.size() > 1) {
    std::thread other(work, 1);
    work(0);
    other.join();
  } else {
    work(0);
  }
  std::vector<RunImage> images;
  for (size_t i = 0; i < chosen.size(); ++i)
    if (converted[i]) images.push_back({chosen[i], std::move(*converted[i])});
  return images;
}

// ---- provider run

AIRunResult runProvider(const fs::path& folder, const std::string& request, AIProvider provider) {
  auto failed = [](std::string message) {
    AIRunResult r;
    r.details = std::move(message);
    r.failed = true;
    return r;
  };
  std::string name(providerName(provider));

  // 1. The folder and REQUEST.md.
  struct timespec runStart {};
  {
    Result<void> prepared = ok();
    if (records::isInsideDataDirectory(folder)) {
      prepared = records::ensurePrivateDirectory(folder);
    } else {
      std::error_code ec;
      fs::create_directories(folder, ec);
      if (ec) prepared = fail(ec.message());
      else if (!fs::is_directory(folder, ec)) prepared = fail("not a folder: " + folder.string());
    }
    fs::path requestFile = folder / "REQUEST.md";
    if (prepared) prepared = writeFileAtomic(requestFile, request, 0600);
    if (prepared) prepared = records::makeFilePrivate(requestFile);
    struct stat st {};
    if (prepared && ::stat(requestFile.c_str(), &st) != 0) prepared = fail(errnoMessage(errno));
    if (!prepared) return failed("couldn't prepare the action folder: " + prepared.message());
    // Files the tool writes change after this; leftovers of an earlier run in
    // the same folder do not.
    runStart = st.st_ctim;
  }

  // 2-3. The executable, trusted and approved.
  auto executable = locateExecutable(provider);
  if (!executable) return failed(name + " CLI not found. Install it and ensure it's on your PATH.");
  if (!ensureApproved(provider, *executable)) return failed(std::string(kNotApproved));

  // 4. The prompt travels as one argument.
  std::string prompt = buildPrompt(request);
  if (prompt.size() + 1 > kMaxArgumentBytes) {
    return failed("The instruction is too long to hand to the " + name + " CLI (" +
                  std::to_string(request.size() / 1024) +
                  " KB; one command-line argument holds at most 128 KB). Shorten the new lines in the note and run "
                  "again.");
  }

  // 5. Run it.
  RunOptions options;
  options.executable = *executable;
  options.arguments = providerArguments(prompt, provider);
  options.workingDirectory = folder;
  options.environment = ProcessRunner::childEnvironment();
  options.timeLimit = kRunTimeLimitSeconds;
  options.ownProcessGroup = true;
  options.nullStandardInput = true;
  // A server the tool started may keep its output open; stop reading soon
  // after the tool itself has ended.
  options.drainAfterExit = 1.0;
  options.onLaunch = [](const ProcessHandle& handle) {
    std::lock_guard lock(processMutex());
    runningProcess() = handle;
  };
  ProcessResult r = ProcessRunner::run(options);
  {
    std::lock_guard lock(processMutex());
    runningProcess().reset();
  }

  // 6-8.
  if (r.status == 124) {
    return failed("Corvane AI was stopped after " + std::to_string(static_cast<int>(kRunTimeLimitSeconds)) +
                  "s to avoid runaway token use. Try a smaller, more specific request.");
  }
  if (r.status == 0 && r.stdoutBytes > kMaxToolOutputBytes) {
    return failed("The " + name + " CLI printed " + std::to_string(r.stdoutBytes >> 20) +
                  " MB, more than Corvane AI reads back (" + std::to_string(kMaxToolOutputBytes >> 20) +
                  " MB). Ask for the answer in RESULT.md instead.");
  }
  if (r.status == 0 && r.stdoutWasInvalid)
    return failed("The " + name + " CLI printed text that is not valid UTF-8, so its answer can't be read.");
  std::string details, summary;
  std::optional<double> cost;
  if (provider == AIProvider::Claude) {
    auto parsed = parseJSONResult(r.stdoutText);
    summary = std::move(parsed.summary);
    cost = parsed.cost;
  } else {
    auto split = splitSummary(r.stdoutText);
    details = std::move(split.details);
    summary = std::move(split.summary);
  }
  if (r.status != 0) {
    return failed("Corvane AI run failed (exit " + std::to_string(r.status) +
                  "): " + failureDetail(r.stdoutText, r.stderrText));
  }

  // 9. The answer.
  AIRunResult result;
  result.resultText = summary;
  if (runFile(folder, folder / "RESULT.md", runStart)) {
    if (auto text = readFileLimited(folder / "RESULT.md", kMaxToolOutputBytes); text && isValidUtf8(*text)) {
      std::string answer = trimmed(*text);
      if (!answer.empty()) result.resultText = std::move(answer);
    }
  }
  if (cost) details += (details.empty() ? "" : "\n") + std::string("Run cost: $") + fmtCost(*cost);
  result.details = std::move(details);
  result.images = collectRunImages(folder, kMaxRunImages, runStart);
  return result;
}

// ---- run on a note

AiRunContext defaultAiRunContext() {
  AiRunContext c;
  c.store = [] { return notes::activeNoteStore(); };
  c.bodyChanged = [](const std::string& id, const std::string& appended) {
    notes::StoreCache::shared()->bodyChanged(id, appended, std::nullopt);
  };
  c.noteCreated = [](const std::string& id, const std::string& name, const std::string& plainText) {
    notes::StoreCache::shared()->noteCreated(id, name, plainText, std::nullopt, true);
  };
  c.recordBuild = [] { insights::Stats::shared().record({.builds = 1}); };
  c.clock = &systemClock();
  return c;
}

RunOutcome runAIOnNote(const std::string& title, const std::optional<std::string>& id) {
  return runAIOnNote(title, id, defaultAiRunContext());
}

RunOutcome runAIOnNote(const std::string& title, const std::optional<std::string>& requestedId,
                       const AiRunContext& context) {
  // 1. One run at a time.
  ActiveRun admission;
  if (!admission.admitted) return {std::string(kAlreadyRunning), true};

  // 2. Provider.
  auto settings = records::Settings::load();
  auto provider = providerFromName(settings.aiProvider);
  if (!provider) return {std::string(kNoProvider), true};

  // 3. The note and its text. A note found by title must carry exactly that
  // title: a contains-search may return another note, and the answer would
  // land there.
  auto store = context.store();
  std::optional<std::string> noteId;
  if (requestedId && !requestedId->empty()) noteId = *requestedId;
  std::optional<std::string> text;
  if (noteId) {
    if (auto t = store->plainText(*noteId)) text = std::move(*t);
  }
  if (!text) {
    noteId.reset();
    if (auto found = store->searchNames(title); found) {
      for (const auto& note : *found) {
        if (note.name != title) continue;
        noteId = note.id;
        auto t = store->plainText(note.id);
        text = t ? std::move(*t) : title;
        break;
      }
    }
    if (!text) text = title;
  }

  // 4-6.
  std::string previous;
  if (auto it = settings.lastBuiltSpecs.find(title); it != settings.lastBuiltSpecs.end()) previous = it->second;
  if (trimUnicodeWhitespace(*text).empty()) {
    records::postRunNotice(title, false, std::string(kEmptyNote));
    return {std::string(kEmptyNote), true};
  }
  auto request = newInstruction(*text, previous);
  if (!request) {
    records::postRunNotice(title, true, std::string(kNothingNew));
    return {std::string(kNothingNew), false};
  }

  // 7. Folder.
  fs::path folder;
  if (auto it = settings.projects.find(title); it != settings.projects.end() && !it->second.empty())
    folder = it->second;
  else
    folder = defaultRunFolder(title, context.clock->now());

  // 8. Started block.
  if (noteId) {
    (void)store->appendHTML(*noteId, startedBlock(*provider, folder, nowText(context, DateStyle::Short, DateStyle::Medium)));
    context.bodyChanged(*noteId, "Corvane AI started…");
  }

  // 9-10. The tool.
  AIRunResult result = runProvider(folder, *request, *provider);
  if (result.failed) {
    if (noteId) {
      (void)store->appendHTML(*noteId, failedBlock(result.details, nowText(context, DateStyle::Short, DateStyle::Medium)));
      context.bodyChanged(*noteId, "Corvane AI failed: " + result.details);
    }
    records::postRunNotice(title, false, result.details);
    return {result.details, true};
  }

  // 11-12. Done block.
  std::string done = doneBlock(result, nowText(context, DateStyle::Medium, DateStyle::Short));
  std::string notice = result.resultText;
  if (noteId) {
    if (auto appended = store->appendHTML(*noteId, done); !appended)
      notice += "\n⚠ Corvane AI ran but couldn't write to the note: " + appended.message();
    context.bodyChanged(*noteId, result.resultText);
  } else {
    std::string name = title.empty() ? "Corvane AI" : title;
    // The store starts a new note with its title; the block follows it.
    auto created = store->createNote(name, done);
    if (!created) {
      notice += "\n⚠ Corvane AI ran but couldn't create a note: " + created.message();
    } else {
      context.noteCreated(*created, name, result.resultText);
      noteId = *created;
    }
  }

  // 13-15.
  std::string built = *text;
  if (noteId) {
    if (auto t = store->plainText(*noteId)) built = std::move(*t);
  }
  (void)records::Settings::update([&](records::Settings& s) { s.lastBuiltSpecs[title] = built; });
  if (context.recordBuild) context.recordBuild();
  records::postRunNotice(title, true, notice);
  return {result.resultText, false};
}

// ---- cancel

bool cancelAI() {
  std::optional<ProcessHandle> handle;
  {
    std::lock_guard lock(processMutex());
    handle.swap(runningProcess());
  }
  return handle && handle->terminate();
}

bool aiRunIsActive() {
  std::lock_guard lock(activeMutex());
  return activeFlag();
}

bool aiToolIsRunning() {
  std::lock_guard lock(processMutex());
  return runningProcess().has_value();
}

}  // namespace corvane::ai
