#pragma once
// The application in front seen through AT-SPI: the text selected in its
// focused element and the address of the document around it. Every call runs
// on one dedicated thread (AT-SPI is not thread-safe) with short D-Bus
// time-outs, and the caller waits at most `limit` for the answer: an
// application that hangs costs a clip its accessibility answer, nothing more.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/clip_selection.h"

namespace corvane::platform {

class AtspiAccess : public SourceLinkLookup {
 public:
  virtual ~AtspiAccess() = default;
  // The focused element's selected text; nothing when there is none or no answer in time.
  virtual std::optional<std::string> selectedText(const FrontAppSnapshot& app) = 0;
};

// nullptr when no accessibility bus answers.
std::shared_ptr<AtspiAccess> makeAtspiAccess(std::chrono::milliseconds limit = std::chrono::milliseconds(600));

// Whether a window class names a browser whose pages carry an address.
bool isBrowserClass(const std::string& windowClass);

// The X11 selection source with accessibility first: the selection read
// through AT-SPI, else `fallback`'s copy path.
std::shared_ptr<SelectionSource> withAccessibility(std::shared_ptr<SelectionSource> fallback,
                                                   std::shared_ptr<AtspiAccess> access);

}  // namespace corvane::platform
