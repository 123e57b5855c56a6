#!/usr/bin/env bash
# Builds the plug-in and runs an end-to-end smart-card redirection on an
# emulated card. Usage: scripts/demo.sh [demo options, e.g. --log-level debug,
# --backend pcsc; scripts/demo.sh --help lists them all]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The demo program depends on the plug-in, so this builds both.
cmake --build build/plain -j "$(nproc)" --target scredir-demo
exec build/plain/tools/scredir-demo --plugin build/plain/scredir/libscrediragent.so "$@"
