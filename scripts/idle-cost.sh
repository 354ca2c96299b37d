#!/usr/bin/env bash
# What an idle vesprec costs: the CPU time it uses over a stretch of wall-clock
# time in two situations.
#
#   scripts/idle-cost.sh [--seconds N] [--build DIR]
#
# 1. Idle: one periodic site that is not due (next run in 2099); the worker
#    only waits for its schedule.
# 2. Quiet line: one continuous COM site (XON/XOFF) connected to a vesper-sim
#    exchange that prints one record and then nothing; the worker keeps its
#    read pending on a silent line.
#
# For each it prints the CPU time of the whole process (all threads, user +
# system) from /proc: in clock ticks (/proc/PID/stat) and, finer, in
# nanoseconds on the CPU (/proc/PID/task/*/schedstat), plus the context
# switches (each a wake-up). The programs come from DIR (default
# build/native), built there when missing.

set -euo pipefail

seconds=60
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/native"
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) shift; seconds="${1:-}" ;;
    --build) shift; build="${1:-}" ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "idle-cost.sh: unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
case "$seconds" in
  ''|*[!0-9]*|0) echo "idle-cost.sh: --seconds needs a positive number" >&2; exit 2 ;;
esac
if [ ! -r /proc/self/stat ]; then
  echo "idle-cost.sh: needs Linux /proc" >&2
  exit 1
fi

vesprec="$build/src/vesprec"
sim="$build/tools/vesper-sim"
if [ ! -x "$vesprec" ] || [ ! -x "$sim" ]; then
  echo "Building vesprec and vesper-sim in $build ..."
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j "${VR_JOBS:-2}" --target vesprec vesper-sim >/dev/null
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/vesper-idle-XXXXXX")"
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"  # a lock and socket of our own
recorder_pid=""
sim_pid=""

cleanup() {
  local pid
  for pid in $recorder_pid $sim_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ticks_per_second=$(getconf CLK_TCK)

# utime + stime of the whole process, in clock ticks.
cpu_ticks() {
  # The command name may hold blanks: the fields start after its ")".
  local rest
  rest=$(sed 's/^.*) //' "/proc/$1/stat")
  awk '{ print $12 + $13 }' <<<"$rest"
}

# Nanoseconds on the CPU, summed over the threads.
cpu_ns() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'
}

# Voluntary and involuntary context switches, summed over the threads.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(non)?voluntary_ctxt_switches:/ { s += $2 } END { print s + 0 }'
}

# measure LABEL PID: samples the process over $seconds of wall-clock time.
measure() {
  local label="$1" pid="$2" t0 n0 c0 t1 n1 c1 ms per_s
  t0=$(cpu_ticks "$pid"); n0=$(cpu_ns "$pid"); c0=$(switches "$pid")
  sleep "$seconds"
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "idle-cost.sh: vesprec ended during the measure; see $work" >&2
    trap - EXIT
    exit 1
  fi
  t1=$(cpu_ticks "$pid"); n1=$(cpu_ns "$pid"); c1=$(switches "$pid")
  ms=$(awk -v n=$((n1 - n0)) 'BEGIN { printf "%.1f", n / 1e6 }')
  per_s=$(awk -v c=$((c1 - c0)) -v s="$seconds" 'BEGIN { printf "%.1f", c / s }')
  printf '%-12s %3d s wall: CPU %s ms (%d ticks of 1/%d s = %d ms), %s%% of one core, %s\n' \
    "$label" "$seconds" "$ms" $((t1 - t0)) "$ticks_per_second" \
    $(( (t1 - t0) * 1000 / ticks_per_second )) \
    "$(awk -v n=$((n1 - n0)) -v s="$seconds" 'BEGIN { printf "%.4f", n / 1e7 / s }')" \
    "$((c1 - c0)) context switches ($per_s/s)"
}

site_keys() {  # site_keys RICORRENZA ORA
  cat <<EOF
[0001]
Ogni=3600
SitoAbilitato=1
Ricorrenza=$1
Ora=$2
Dispositivo=COM
Dati=$work/dati.txt
Dati2=$work/dati2.txt
Storico=$work/storico.txt
AggData=0
AggOra=0
EliminaNull=0
CorreggiCR=1
FlagCRLF=0
Importazione=2
STimeRead=10
STimeWrite=10
MTimeRead=10
MTimeWrite=10
FileTimeout=60
SpazioTimeout=0
Modem=0
Baud=9600
BitDati=8
Parita=N
Stop=1
Handshake=XON
Xon=17
Xoff=19
TimeoutFineImp=5
EOF
}

status_field() {  # status_field KEY
  "$vesprec" ctl --dir "$work" status 2>/dev/null | sed -n "s/^$1: //p"
}

wait_for() {  # wait_for KEY VALUE: polls the status for up to 15 s
  for _ in $(seq 150); do
    [ "$(status_field "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  echo "idle-cost.sh: vesprec never showed $1: $2; log:" >&2
  cat "$work/vrec.log" >&2 || true
  exit 1
}

echo "vesprec: $vesprec"
echo "Each measure takes $seconds s."

# --- 1. Idle: a periodic site that is not due --------------------------------
{
  printf '[General]\nCom=/dev/ttyIDLE0\nLog=%s/vrec.log\n' "$work"
  site_keys -1 "10.00 01-01-2099p"
} >"$work/VESPREC.INI"
"$vesprec" --dir "$work" >"$work/idle.out" 2>"$work/idle.err" &
recorder_pid=$!
wait_for state idle
sleep 1  # past the start-up
measure "idle" "$recorder_pid"
"$vesprec" ctl --dir "$work" quit >/dev/null
wait "$recorder_pid" || true
recorder_pid=""

# --- 2. Receiving a quiet line ------------------------------------------------
"$sim" exchange --records 1 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
pty=$(head -n 1 "$work/sim.out")
[ -n "$pty" ] || { echo "idle-cost.sh: vesper-sim printed no pty" >&2; exit 1; }
{
  printf '[General]\nCom=%s\nLog=%s/vrec.log\n' "$pty" "$work"
  site_keys 0 "10.00 01-01-2010p"
} >"$work/VESPREC.INI"
"$vesprec" --dir "$work" >"$work/quiet.out" 2>"$work/quiet.err" &
recorder_pid=$!
wait_for lines 1   # the one record is in: from now on the line is quiet
sleep 1
measure "quiet line" "$recorder_pid"
echo "(state during the quiet-line measure: $(status_field state))"
"$vesprec" ctl --dir "$work" quit >/dev/null
wait "$recorder_pid" || true
recorder_pid=""
