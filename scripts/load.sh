#!/usr/bin/env bash
# Builds the plug-in and the load tool, runs every figure (about half a
# minute with the default settings) and plots the latency against APDU size.
# Usage: scripts/load.sh [scredir-load options]   (--help lists them)
# Writes build/plain/load/summary.md, latency_vs_size.csv and
# latency_vs_size.png; docs/perf.md explains the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake -S "$root" -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target scredir-load

out=build/plain/load
mkdir -p "$out"
build/plain/bench/scredir-load --csv "$out/latency_vs_size.csv" "$@" | tee "$out/summary.md"

if [ -s "$out/latency_vs_size.csv" ]; then
  gnuplot <<PLOT
set datafile separator ","
set terminal pngcairo size 900,560 noenhanced font ",11"
set output "$out/latency_vs_size.png"
set title "Transmit round trip (p50) against APDU size, each way"
set xlabel "APDU bytes (each way)"
set ylabel "latency p50 (microseconds)"
set y2label "agent / floor"
set logscale x 2
set format x "%.0f"
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
set key bottom right
set grid
plot "$out/latency_vs_size.csv" skip 1 using 1:2 with linespoints lw 2 title "agent (libscrediragent.so)", \
     "" skip 1 using 1:3 with linespoints lw 2 title "floor relay", \
     "" skip 1 using 1:4 axes x1y2 with lines dt 2 title "agent / floor (right axis)"
PLOT
  echo "wrote $out/latency_vs_size.png"
fi
