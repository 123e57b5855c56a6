#!/usr/bin/env bash
# Builds the plug-in and runs an end-to-end smart-card redirection on an
# emulated card. Usage: scripts/demo.sh [demo options, e.g. --log-level debug]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)"
if [ -x build/plain/tools/scredir-demo ]; then
  exec build/plain/tools/scredir-demo --plugin build/plain/scredir/libscrediragent.so "$@"
fi
echo "built build/plain/scredir/libscrediragent.so (the demo tool is not built yet)"
