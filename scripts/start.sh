#!/usr/bin/env bash
# Installs what is missing, builds and starts the tool.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset default
cmake --build --preset default
# The window comes with a later step; until then the firmware file tool is what there is.
exec build/default/tools/romtool/romtool --help
