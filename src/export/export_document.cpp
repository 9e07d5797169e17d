#include "export/export_document.h"

#include <ctime>
#include <cstdio>

#include "core/files.h"
#include "core/paths.h"
#include "core/text.h"
#include "export/auto_format.h"
#include "export/readers.h"
#include "export/selection_export.h"
#include "export/writers.h"

namespace corvane::exports {

namespace fs = std::filesystem;

fs::path desktopFolder() {
  const fs::path home = homeDirectory();
  const char* xdgConfig = std::getenv("XDG_CONFIG_HOME");
  fs::path config = xdgConfig && *xdgConfig ? fs::path(xdgConfig) : home / ".config";
  if (auto file = readFileLimited(config / "user-dirs.dirs", 64 * 1024)) {
    std::string_view rest = *file;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      std::string_view line = trimUnicodeWhitespace(rest.substr(0, nl));
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (!startsWith(line, "XDG_DESKTOP_DIR=")) continue;
      std::string_view value = line.substr(16);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      fs::path dir;
      if (startsWith(value, "$HOME")) {
        std::string_view tail = value.substr(5);
        if (tail.empty() || tail == "/") continue;  // the home itself means no Desktop folder
        dir = home / std::string(tail.substr(tail.front() == '/' ? 1 : 0));
      } else if (startsWith(value, "/")) {
        dir = fs::path(std::string(value));
      } else {
        continue;
      }
      return dir;
    }
  }
  return home / "Desktop";
}

fs::path exportFolder() { return desktopFolder() / "CorvaneFiles"; }

std::string artifactBaseName(WallTime when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[64];
  std::strftime(buf, sizeof buf, "Artifact_%Y-%m-%d_%H-%M-%S", &local);
  return buf;
}

std::string uniqueBaseName(const fs::path& folder, std::string_view base) {
  auto taken = [&](const std::string& candidate) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (!startsWith(name, candidate)) continue;
      std::string_view rest = std::string_view(name).substr(candidate.size());
      if (startsWith(rest, ".") || startsWith(rest, "_image")) return true;
    }
    return false;
  };
  std::string candidate(base);
  for (int n = 2; taken(candidate); ++n) candidate = std::string(base) + "-" + std::to_string(n);
  return candidate;
}

Result<fs::path> exportDocument(const ExportRequest& request, const fs::path& folder, std::string_view baseName) {
  // The name is one plain file name: nothing may land outside the folder.
  const std::string base(baseName);
  if (base.empty() || base == "." || base == ".." || base.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
    return fail("invalid export name");
  // A failure here shows in the write below, with its reason.
  (void)ensureDirectory(folder, 0755);
  fs::path file = folder / (base + "." + request.extension);
  const RichText document = request.autoFormat ? AutoFormat::renderRichText(request.plain) : request.rich;
  const std::string& ext = request.extension;
  if (ext == "pdf") {
    CORVANE_TRY_ASSIGN(pdf, encodePdf(document));
    CORVANE_TRY(writeFileAtomic(file, pdf, 0644));
  } else if (ext == "docx") {
    auto detached = AutoFormat::detachImages(document, base);
    CORVANE_TRY_ASSIGN(docx, encodeDocx(detached.text));
    CORVANE_TRY(writeFileAtomic(file, docx, 0644));
    // Images that cannot be written are skipped; the document names them.
    for (const auto& [name, bytes] : detached.files) (void)writeFileAtomic(folder / name, bytes, 0644);
  } else if (ext == "rtf") {
    if (document.hasAttachments()) {
      file = folder / (base + ".rtfd");
      CORVANE_TRY(writeRtfd(document, file));
    } else {
      CORVANE_TRY(writeFileAtomic(file, encodeRtf(document), 0644));
    }
  } else if (ext == "md") {
    std::string md = request.autoFormat ? AutoFormat::renderMarkdown(request.plain) : AutoFormat::richTextToMarkdown(request.rich);
    CORVANE_TRY(writeFileAtomic(file, md, 0644));
  } else {
    CORVANE_TRY(writeFileAtomic(file, request.plain, 0644));
  }
  if (!fileExists(file)) return fail("The file was not created.");
  return file;
}

std::string savedLabel(std::string_view plain, std::string_view fileStem) {
  std::string label;
  size_t i = 0;
  int words = 0;
  while (words < 2) {
    while (i < plain.size()) {
      size_t next = i;
      if (!isUnicodeWhitespace(decodeCodePoint(plain, next))) break;
      i = next;
    }
    if (i >= plain.size()) break;
    size_t start = i;
    while (i < plain.size()) {
      size_t next = i;
      if (isUnicodeWhitespace(decodeCodePoint(plain, next))) break;
      i = next;
    }
    if (words++) label += ' ';
    label.append(plain.substr(start, i - start));
  }
  label = std::string(prefixCodePoints(label, 20));
  return label.empty() ? std::string(fileStem) : label;
}

namespace {

int usage(const char* message) {
  std::fprintf(stderr, "corvane-cli export-file: %s\n", message);
  std::fputs("usage: corvane-cli export-file --format pdf|docx|rtf|md|txt (--text FILE | --html FILE | --rtf FILE) --out DIR\n",
             stderr);
  return 2;
}

}  // namespace

int runExportFileCommand(const std::vector<std::string>& args) {
  std::string format, input, kind, out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return usage(("missing value after " + a).c_str());
    const std::string& v = args[++i];
    if (a == "--format") format = v;
    else if (a == "--out") out = v;
    else if (a == "--text" || a == "--html" || a == "--rtf") {
      if (!kind.empty()) return usage("give one of --text, --html and --rtf");
      kind = a.substr(2);
      input = v;
    } else {
      return usage(("unknown option " + a).c_str());
    }
  }
  if (format != "pdf" && format != "docx" && format != "rtf" && format != "md" && format != "txt")
    return usage("--format must be pdf, docx, rtf, md or txt");
  if (kind.empty()) return usage("give --text FILE, --html FILE or --rtf FILE");
  if (out.empty()) return usage("give --out DIR");
  auto data = readFileLimited(input, 64 * 1024 * 1024);
  if (!data) {
    std::fprintf(stderr, "corvane-cli export-file: %s: %s\n", input.c_str(), data.message().c_str());
    return 1;
  }
  auto content = kind == "text" ? SelectionContent{SelectionContent::Kind::PlainText, std::move(*data)}
                 : kind == "html" ? SelectionContent{SelectionContent::Kind::Html, std::move(*data)}
                                  : SelectionContent{SelectionContent::Kind::Rtf, std::move(*data)};
  auto request = makeExportRequest({content}, format);
  if (!request) {
    std::fprintf(stderr, "corvane-cli export-file: %s\n", request.message().c_str());
    return 1;
  }
  fs::path folder(out);
  auto written = exportDocument(*request, folder, uniqueBaseName(folder, artifactBaseName(systemClock().now())));
  if (!written) {
    std::fprintf(stderr, "corvane-cli export-file: %s\n", written.message().c_str());
    return 1;
  }
  std::printf("%s\n", written->string().c_str());
  return 0;
}

}  // namespace corvane::exports
