#pragma once
// Writing an exported document into "CorvaneFiles" on the Desktop.
#include <filesystem>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/result.h"
#include "export/rich_text.h"

namespace corvane::exports {

// The user's Desktop: XDG_DESKTOP_DIR from user-dirs.dirs in the config home
// ($XDG_CONFIG_HOME, else ~/.config), else ~/Desktop.
std::filesystem::path desktopFolder();
// desktopFolder() / "CorvaneFiles".
std::filesystem::path exportFolder();

// "Artifact_yyyy-MM-dd_HH-mm-ss" in local time.
std::string artifactBaseName(WallTime when);

// The base name itself when no file of that name (any extension, or its
// image files) is in the folder yet, else the base name + "-2", "-3", …
std::string uniqueBaseName(const std::filesystem::path& folder, std::string_view base);

struct ExportRequest {
  RichText rich;
  std::string plain;
  std::string extension;  // "pdf", "docx", "txt", "rtf", "md"
  bool autoFormat = false;
};

// Writes the document as folder / (base + "." + extension); an "rtf" export
// of text with attachments becomes a "rtfd" package. Returns the file written.
// Nothing partial is left behind on failure.
Result<std::filesystem::path> exportDocument(const ExportRequest& request, const std::filesystem::path& folder,
                                             std::string_view baseName);

// The text reaching the user about an export.
std::string savedLabel(std::string_view plain, std::string_view fileStem);

// `corvane-cli export-file --format pdf|docx|rtf|md|txt (--text FILE | --html FILE | --rtf FILE) --out DIR`
int runExportFileCommand(const std::vector<std::string>& args);

}  // namespace corvane::exports
