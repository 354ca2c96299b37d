#!/usr/bin/env bash
# Vesper Recorder in a minute: builds vesprec and the device simulator, plays
# a telephone exchange printing call records on a pseudo-terminal, runs the
# recorder on it in the foreground so the records are seen arriving, stops it
# in order, and shows what the data files and the log hold.
#
#   scripts/demo.sh [--dir DIR] [--records N] [--rate PER_SECOND] [--seconds N]
#                   [--build DIR] [--no-install] [-j N]
#
# On Debian, as root or through sudo, it first installs cmake, ninja-build
# and g++ when one of them is missing (apt-get runs only then). Nothing is
# installed system-wide by the demo itself: the programs stay in the build
# folder, the demo's files in a fresh folder that is kept for a look.

set -uo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [options]
  --dir DIR           the demo folder (new or empty; default: a fresh one in /tmp)
  --records N         call records the simulated exchange prints (default 36)
  --rate PER_SECOND   records per second (default 2)
  --seconds N         stop the recorder after N seconds at most (default 25)
  --build DIR         the build folder (default build/native, see below)
  --no-install        do not install missing build tools
  -j N                parallel build jobs (default: the number of cores)
  -h, --help          this text
EOF
}

demo_dir=""
build=""
records=36
rate=2
seconds=25
install=1
jobs="${VR_JOBS:-$(nproc 2>/dev/null || echo 2)}"
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) shift; demo_dir="${1:-}" ;;
    --records) shift; records="${1:-}" ;;
    --rate) shift; rate="${1:-}" ;;
    --seconds) shift; seconds="${1:-}" ;;
    --build) shift; build="${1:-}" ;;
    --no-install) install=0 ;;
    -j) shift; jobs="${1:-}" ;;
    -j*) jobs="${1#-j}" ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
is_count() { case "$1" in ''|*[!0-9]*) return 1 ;; *) [ "$1" -gt 0 ] ;; esac; }
is_count "$records" || { echo "demo.sh: --records needs a positive number" >&2; exit 2; }
is_count "$seconds" || { echo "demo.sh: --seconds needs a positive number" >&2; exit 2; }
is_count "$jobs" || { echo "demo.sh: -j needs a positive number" >&2; exit 2; }
case "$rate" in ''|*[!0-9.]*|*.*.*|.) echo "demo.sh: --rate needs a number" >&2; exit 2 ;; esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
site="DEMO"
# A path as the user can type it from here: relative inside the tree when
# run from its top, otherwise whole.
shown() {
  if [ "$PWD" = "$root" ]; then echo "${1#"$root"/}"; else echo "$1"; fi
}

if [ -t 1 ]; then
  bold=$'\e[1m'; dim=$'\e[2m'; plain=$'\e[0m'
else
  bold=""; dim=""; plain=""
fi
step() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }
die() {
  printf '\n%sdemo.sh: %s%s\n' "$bold" "$*" "$plain" >&2
  exit 1
}

# ---------------------------------------------------------------------------
# Cleanup: whatever happens, no background process outlives the demo.
# ---------------------------------------------------------------------------
sim_pid=""
recorder_pid=""
interrupted=0

# stop_process PID: SIGTERM, up to 10 s to end, then SIGKILL.
stop_process() {
  local pid="$1" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  [ -n "$recorder_pid" ] && stop_process "$recorder_pid"
  [ -n "$sim_pid" ] && stop_process "$sim_pid"
  wait 2>/dev/null
}
trap cleanup EXIT
# Ctrl-C while the recorder runs stops it in order (see below); before and
# after that it ends the demo.
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# 1. Build tools
# ---------------------------------------------------------------------------
step "Checking the build tools (cmake, ninja, g++)"
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if [ ${#missing[@]} -eq 0 ]; then
  echo "All there."
else
  echo "Missing: ${missing[*]}"
  [ "$install" -eq 1 ] || die "--no-install given: install ${missing[*]} first."
  command -v apt-get >/dev/null 2>&1 ||
    die "no apt-get on this machine: install ${missing[*]} with its package manager."
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 ||
      die "not root and no sudo: install ${missing[*]} as root (apt-get install ${missing[*]})."
    sudo=(sudo)
  fi
  echo "+ ${sudo[*]} apt-get update && apt-get install -y ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
    die "apt-get update failed."
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}" ||
    die "apt-get install ${missing[*]} failed."
fi

# ---------------------------------------------------------------------------
# 2. Build vesprec and vesper-sim
# ---------------------------------------------------------------------------
# The native tree of the test command (build/native) when it exists or when
# GoogleTest is installed to configure it as the test command does; otherwise
# a tree of the demo's own without the tests, so that build/native is never
# configured without them.
have_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] || return 1
  compgen -G '/usr/lib/*/libgtest.*' >/dev/null || compgen -G '/usr/lib/libgtest.*' >/dev/null ||
    compgen -G '/usr/local/lib/libgtest.*' >/dev/null
}
configure_args=()
if [ -n "$build" ]; then
  mkdir -p "$build" && build="$(cd "$build" && pwd)" || die "cannot create $build"
  have_gtest || configure_args=(-DVR_BUILD_TESTS=OFF)
else
  build="$root/build/native"
  if [ ! -f "$build/CMakeCache.txt" ] && ! have_gtest; then
    build="$root/build/demo"
    configure_args=(-DVR_BUILD_TESTS=OFF)
  fi
fi
mkdir -p "$build" || die "cannot create $build"
build_log="$build/demo-build.log"
step "Building vesprec and vesper-sim in $(shown "$build") (a minute or two the first time)"

# Runs a build step in the foreground (Ctrl-C ends it) with its output in the
# build log; a terminal sees the step counter. On failure shows the log's end.
run_logged() {
  local status
  if [ -t 1 ]; then
    "$@" 2>&1 | tee -a "$build_log" | while IFS= read -r line; do
      case "$line" in
        \[*/*\]*) printf '\r\e[K  %s' "${line:0:76}" ;;
      esac
    done
    status=${PIPESTATUS[0]}
    printf '\r\e[K'
  else
    "$@" >>"$build_log" 2>&1
    status=$?
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$build_log" >&2
    die "the build failed; the whole output is in $build_log"
  fi
}
: >"$build_log"
if [ ! -f "$build/CMakeCache.txt" ]; then
  run_logged cmake -S "$root" -B "$build" -G Ninja "${configure_args[@]}"
fi
run_logged cmake --build "$build" -j "$jobs" --target vesprec vesper-sim
vesprec="$build/src/vesprec"
sim="$build/tools/vesper-sim"
[ -x "$vesprec" ] && [ -x "$sim" ] || die "the build made no $vesprec or $sim (see $build_log)"
echo "Built: $(shown "$vesprec") and $(shown "$sim")"

# ---------------------------------------------------------------------------
# 3. A fresh folder, the simulated exchange, the configuration
# ---------------------------------------------------------------------------
if [ -z "$demo_dir" ]; then
  demo_dir="$(mktemp -d "${TMPDIR:-/tmp}/vesper-demo-XXXXXX")" ||
    die "cannot create a folder in ${TMPDIR:-/tmp}"
else
  mkdir -p "$demo_dir" || die "cannot create $demo_dir"
  [ -z "$(ls -A "$demo_dir")" ] || die "$demo_dir is not empty; give a new or empty folder."
  demo_dir="$(cd "$demo_dir" && pwd)"
fi
step "Starting the simulated exchange (vesper-sim): $records call records, $rate a second"
# Its own session: Ctrl-C in this terminal is for the recorder's orderly
# stop, the exchange must stay up until the recorder has let go of it.
setsid "$sim" exchange --records "$records" --rate "$rate" --sent "$demo_dir/sent.txt" \
  >"$demo_dir/vesper-sim.out" 2>"$demo_dir/vesper-sim.log" </dev/null &
sim_pid=$!
pty=""
for _ in $(seq 100); do
  pty="$(head -n 1 "$demo_dir/vesper-sim.out" 2>/dev/null)"
  [ -n "$pty" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$pty" ] || { cat "$demo_dir/vesper-sim.log" >&2; die "vesper-sim did not start."; }
echo "The exchange prints on $pty (a pseudo-terminal, as a serial port would be)."

cat >"$demo_dir/VESPREC.INI" <<EOF
; Vesper Recorder configuration written by scripts/demo.sh.
[General]
; The serial port this instance serves: here the simulator's pseudo-terminal.
Com=$pty
Log=$demo_dir/vesprec.log

; One site, served continuously (Ricorrenza=0), on a direct line (COM) with
; XON/XOFF flow control.
[$site]
Ricorrenza=0
Ogni=3600
Ora=00.00 01-01-2024p
SitoAbilitato=1
Dispositivo=COM
; The data file an accounting program imports, a second copy, the history.
Dati=$demo_dir/data.txt
Dati2=$demo_dir/data2.txt
Storico=$demo_dir/history.txt
; Each line gets a header: the site code, the date and the time of reception.
AggData=1
AggOra=1
EliminaNull=1
CorreggiCR=1
FlagCRLF=0
Importazione=2
; Read and write time-outs in tenths of a second; FileTimeout in seconds.
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
TimeoutFineImp=10
EOF
echo "Configuration: $demo_dir/VESPREC.INI"

# ---------------------------------------------------------------------------
# 4. The recorder in the foreground
# ---------------------------------------------------------------------------
status_field() {  # status_field KEY: a field of `vesprec ctl status`
  "$vesprec" ctl --dir "$demo_dir" status 2>/dev/null | sed -n "s/^$1: //p"
}

step "Running: $(shown "$vesprec") --dir $demo_dir"
echo "${dim}Each record as stored: site code, date and time of reception, then the"
echo "exchange's own text. It stops by itself after the last record (or $seconds s);"
echo "Ctrl-C stops it earlier, in order. Meanwhile, in another terminal:"
echo "  $(shown "$vesprec") ctl --dir $demo_dir status${plain}"
rule="--------------------------------------------------------------------------------"
echo "$rule"
# Its own session too, so that Ctrl-C reaches only this script, which then
# asks the recorder to stop as a user would (ctl quit).
trap 'interrupted=1' INT
setsid "$vesprec" --dir "$demo_dir" </dev/null &
recorder_pid=$!

started=$SECONDS
ended_by_itself=0
while :; do
  if ! kill -0 "$recorder_pid" 2>/dev/null; then
    ended_by_itself=1
    break
  fi
  [ "$interrupted" -eq 1 ] && break
  [ $((SECONDS - started)) -ge "$seconds" ] && break
  lines="$(status_field lines)"
  # One more second after the last record, for its display.
  if [ -n "$lines" ] && [ "$lines" -ge "$records" ]; then
    sleep 1
    break
  fi
  sleep 0.5
done

recorder_status=""
if [ "$ended_by_itself" -eq 0 ]; then
  # The orderly stop: the line is drained, the exchange held, the port closed.
  "$vesprec" ctl --dir "$demo_dir" quit >/dev/null 2>&1 || kill -TERM "$recorder_pid" 2>/dev/null
  for _ in $(seq 200); do
    kill -0 "$recorder_pid" 2>/dev/null || break
    sleep 0.1
  done
fi
if kill -0 "$recorder_pid" 2>/dev/null; then
  stop_process "$recorder_pid"
  recorder_status="did not stop in 20 s and was killed"
else
  wait "$recorder_pid"
  recorder_status="exit status $?"
fi
recorder_pid=""
trap 'exit 130' INT
stop_process "$sim_pid"
wait "$sim_pid" 2>/dev/null
sim_pid=""
echo
echo "$rule"
if [ "$ended_by_itself" -eq 1 ]; then
  die "vesprec ended by itself ($recorder_status); see its messages above and $demo_dir/vesprec.log"
fi
echo "vesprec stopped in order ($recorder_status)."

# ---------------------------------------------------------------------------
# 5. What the files hold
# ---------------------------------------------------------------------------
data="$demo_dir/data.txt"
sent_records=$(tr -cd '\n' <"$demo_dir/sent.txt" 2>/dev/null | wc -c)
stored=$(grep -c "^$site " "$data" 2>/dev/null)
step "What the recorder stored"
echo "Demo folder: $demo_dir"
printf '  %-24s %s\n' \
  "VESPREC.INI" "the configuration" \
  "data.txt" "the data file: $stored records, $(wc -c <"$data" 2>/dev/null || echo 0) bytes" \
  "data2.txt, history.txt" "$(cmp -s "$data" "$demo_dir/data2.txt" &&
                              cmp -s "$data" "$demo_dir/history.txt" &&
                              echo "the second copy and the history: the same bytes" ||
                              echo "the second copy and the history")" \
  "vesprec.log" "the recorder's log" \
  "sent.txt" "what the simulated exchange sent: $sent_records records"
echo
echo "First lines of data.txt (CR LF line ends, as the exchange sent them):"
tail -n +2 "$data" 2>/dev/null | head -n 5 | tr -d '\r' | sed 's/^/  /'
echo "  ..."
# Without the headers (and the empty line a connection starts with), the
# data file is the exchange's text, byte for byte.
if tail -n +2 "$data" | sed -E "s/^$site [0-9]{8} [0-9]{6} //" | cmp -s - "$demo_dir/sent.txt"; then
  echo "Without their headers, the $stored records are byte for byte what the exchange sent."
else
  echo "Without their headers, the records differ from what the exchange sent (sent.txt)."
fi
echo
echo "The log ($demo_dir/vesprec.log):"
tr -d '\r' <"$demo_dir/vesprec.log" | sed '/^$/d; s/^/  /'
echo
echo "Next:"
printf '  %s\n      %s\n' \
  "$(shown "$vesprec") --help" "the program's options and the ctl commands" \
  "$(shown "$sim") --help" "the simulated exchange and the Kestrel boxes" \
  "$(shown "$vesprec") --check --dir $demo_dir" "checks this demo's configuration"
