#pragma once
// What the clip pipeline reads from the desktop: the application in front, the
// text the user selected there, and where it came from. The X11 source lives
// in platform/linux/x11; tests use fakes of their own.
#include <cstdint>
#include <optional>
#include <string>

namespace corvane::platform {

// The application in front when the clip was triggered.
struct FrontAppSnapshot {
  int64_t pid = 0;
  std::string name;   // what the user calls it (the window class name)
  std::string appId;  // a stable identifier (the window class instance)
  uint64_t window = 0;
};

// What a simulated copy produced (all absent when the clipboard did not change).
struct CopyResult {
  std::optional<std::string> text;
  std::optional<std::string> pasteboardLink;
  std::optional<std::string> html;
};

// The link lookup's answer. `permissionDenied`: a known browser exposes no
// document to us, so only its own access setting can give the address.
struct SourceLookupResult {
  std::optional<std::string> documentURL;
  std::optional<std::string> accessibilityURL;
  bool permissionDenied = false;
};

// Reads what the user selected in the front application.
class SelectionSource {
 public:
  virtual ~SelectionSource() = default;
  virtual FrontAppSnapshot frontApp() = 0;
  // The selected text through accessibility; nothing when it cannot say.
  virtual std::optional<std::string> readSelection(const FrontAppSnapshot& app) = 0;
  // The copy path: copies the selection and gives back the clipboard it found.
  virtual CopyResult copySelection(const FrontAppSnapshot& app) = 0;
};

// Finds the address of the document in front. May block; callers bound the wait.
class SourceLinkLookup {
 public:
  virtual ~SourceLinkLookup() = default;
  virtual SourceLookupResult lookUp(const FrontAppSnapshot& app) = 0;
};

}  // namespace corvane::platform
