#pragma once
// The status item: a StatusNotifierItem on the session bus whose Activate
// (left click) toggles the tray and whose menu, exported over dbusmenu, holds
// "Show / Hide Grid", "Check for Updates…" and "Quit Corvane".
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane::shell {

struct StatusMenuEntry {
  int id;
  std::string label;  // empty: a separator
};

// The menu, in order (ids as exported over dbusmenu).
const std::vector<StatusMenuEntry>& statusMenuEntries();

class StatusItem {
 public:
  struct Actions {
    std::function<void()> toggle;
    std::function<void()> checkForUpdates;
    std::function<void()> quit;
  };
  // Exports the item and registers it with the watcher when one runs. Without
  // a session bus or a watcher the program goes on without it and says so in
  // the application log. `iconDirectory` holds "corvane.svg".
  static std::unique_ptr<StatusItem> create(Actions actions, const std::string& iconDirectory);
  ~StatusItem();
  // The bus name the item is exported under ("" without a bus).
  std::string busName() const;

  struct Impl;

 private:
  StatusItem() = default;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::shell
