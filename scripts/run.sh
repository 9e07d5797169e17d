#!/usr/bin/env bash
# Installs dependencies, builds the release configuration and starts the
# desktop program, corvane: the tray window with your notes and its status
# item. Arguments are passed on (--toggle, --new-note, --settings).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here: the tray needs a graphical session. Without one, use build/release/bin/corvane-cli (see the README)."
  exit 1
fi
exec build/release/bin/corvane "$@"
