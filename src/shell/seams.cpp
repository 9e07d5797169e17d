#include "shell/seams.h"

namespace corvane::shell {

ShellSeams& seams() {
  static ShellSeams table;
  return table;
}

void installSeams() {
  // Hotkeys, the input hook, AI availability, cloud sync and the updater
  // install their members here as they land.
}

}  // namespace corvane::shell
