#!/usr/bin/env bash
# The record latency, end to end: from the exchange's write of a record to
# its arrival in the data file, with the real vesprec, on a direct line (a
# pseudo-terminal) and on TCP input, for a few read time-outs. A record
# shorter than the read chunk waits in the line until the read time-out
# ends the read, so the figures are printed beside it.
#
#   scripts/latency.sh [--records N] [-j N]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
records=30
jobs=2
while [ $# -gt 0 ]; do
  case "$1" in
    --records) records="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "latency.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_BUILD_BENCH=ON -DVR_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$jobs" --target record_latency vesprec
for tenths in 10 2; do
  build/bench/bench/record_latency --vesprec build/bench/src/vesprec --records "$records" \
    --read-tenths "$tenths"
  echo
done
