#!/usr/bin/env bash
# The record latency, end to end: from the exchange's write of a record to
# its arrival in the data file, with the real vesprec, on a direct line (a
# pseudo-terminal) and on TCP input, for a few read time-outs, and with an
# interval time-out (SIntervalRead=20) beside them. A record shorter than
# the read chunk waits in the line until the read time-out ends the read,
# unless the interval time-out ends it first. Last, the recorder's CPU time
# per record at 115200 baud, with and without the interval time-out: what
# the smaller chunks cost.
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
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "latency.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_BUILD_BENCH=ON -DVR_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$jobs" --target record_latency vesprec
run() { build/bench/bench/record_latency --vesprec build/bench/src/vesprec "$@"; }
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run --records "$records" --read-tenths 10
run --records "$records" --read-tenths 10 --interval-ms 20 --no-header
run --records "$records" --read-tenths 2 --no-header
echo
echo "CPU per record at 115200 baud, records 30 to 530 ms apart (one chunk each with the key):"
run --records $((records * 3)) --gap-ms 30 --read-tenths 10 --baud 115200 --line pty
run --records $((records * 3)) --gap-ms 30 --read-tenths 10 --baud 115200 --line pty \
  --interval-ms 20 --no-header
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
