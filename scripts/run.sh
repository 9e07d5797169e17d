#!/usr/bin/env bash
# Installs dependencies, builds the release configuration and runs the program.
# Until the desktop shell exists the program is the headless command runner:
# with no arguments it reads bridge messages from standard input (--stdio).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ $# -eq 0 ]; then set -- --stdio; fi
exec build/release/bin/corvane-cli "$@"
