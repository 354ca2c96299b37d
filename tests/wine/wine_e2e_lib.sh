# Shared by the e2e_*.sh tests: the real VESPREC.EXE under Wine against the
# native vesper-sim. Each test gets a program folder of its own (a copy of
# VESPREC.EXE and its VESPREC.INI, reached from Wine through Z:), COM7 of the
# Wine prefix linked to the simulator's pty, and vrtool.exe to look at the
# recorder's windows from a second Windows process.
#
# CTest (tests/wine/CMakeLists.txt) passes in the environment:
#   VR_WINE_RUN, VR_TEST_WINEPREFIX  the emulator and its prefix (VR_WINEPREFIX
#                                   overrides the prefix, as for wine-run.sh)
#   VR_VESPREC_EXE, VR_VRTOOL_EXE   the Windows programs
#   VR_NATIVE_VESPER_SIM, VR_NATIVE_VESPREC  from the native build
#   VR_TEST_WORK_DIR                this test's folder, made afresh
## A test may set PROG_FOLDER before it sources this file: the program
# folder's path below the test's folder (default "prog").
#
# Real processes need real time: every wait polls with a generous deadline,
# and nothing checks how long something took. Exit status 77: skipped.
#
# Wine (8.0) on a pty: an overlapped read of the COM port now and then misses
# its total time-out when bytes come while it is pending; it then ends only
# when its whole count has come, or when it is cancelled, and a cancelled
# read hands over what it had. The recorder asks for as many bytes as its
# receive buffer holds, so under Wine a received chunk may wait for more
# records, or for the stop, before it is stored and shown. A test that needs
# every record stored keeps the exchange printing, or stops the recorder
# once vesper-sim has handed everything over (--exit-when-done) and compares
# after the stop.

set -u

readonly START_DEADLINE=60     # s: Wine starts a program, a window appears
readonly RECEIVE_DEADLINE=60   # s: records of a few seconds have arrived
readonly STOP_DEADLINE=60      # s: a program ends in order

readonly START_LINE="Avvio Vesper Recorder."
readonly CLOSE_LINE="Chiusura di Vesper Recorder."
readonly PORT_CLOSED_LINE="Disconnessa porta COM."
readonly QUIT_MESSAGE=1224     # WM_USER+200: the orderly stop
readonly SITE=0001

TEST_NAME="$(basename "$0" .sh)"

skip() {
  echo "SKIPPED: $*"
  exit 77
}

W="${VR_TEST_WORK_DIR:-}"
WINE_RUN="${VR_WINE_RUN:-}"
PREFIX="${VR_WINEPREFIX:-${VR_TEST_WINEPREFIX:-}}"
if [ -z "$W" ] || [ -z "$WINE_RUN" ] || [ -z "$PREFIX" ]; then
  echo "$TEST_NAME: run me through CTest in the Windows build (ctest -L wine)" >&2
  exit 2
fi
[ -x "${VR_NATIVE_VESPER_SIM:-}" ] ||
  skip "no native vesper-sim at ${VR_NATIVE_VESPER_SIM:-?}: build the native tree first" \
       "(scripts/test.sh does), or point VR_NATIVE_BUILD_DIR at one"
command -v perl >/dev/null 2>&1 || skip "perl is needed for the data file model"
[ -f "${VR_VESPREC_EXE:-}" ] || { echo "no VESPREC.EXE at ${VR_VESPREC_EXE:-?}" >&2; exit 2; }

rm -rf "$W"
PROG="$W/${PROG_FOLDER:-prog}"
mkdir -p "$PROG" "$W/run"
chmod 700 "$W/run"
cp "$VR_VESPREC_EXE" "$PROG/VESPREC.EXE"

# The Windows name of a path: Wine's Z: drive is the root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
EXE_WIN="$(winpath "$PROG/VESPREC.EXE")"
COM7_LINK="$PREFIX/dosdevices/com7"

SIM_NAMES=()
PROC_NAMES=()
XVFB_PID=""
MY_PTYS=()

# --- Cleaning up: only what this test started, by its process id ---

stop_pid() {  # PID: SIGTERM, a few seconds, SIGKILL
  local pid="$1" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  local status=$? name pid p
  for name in "${PROC_NAMES[@]}"; do
    [ -f "$W/$name.rc" ] && continue
    pid="$(cat "$W/$name.pid" 2>/dev/null)"
    [ -n "$pid" ] && stop_pid "$pid"
  done
  for p in "${MY_PTYS[@]}"; do
    [ "$(readlink "$COM7_LINK" 2>/dev/null)" = "$p" ] && rm -f "$COM7_LINK"
  done
  [ -n "$XVFB_PID" ] && stop_pid "$XVFB_PID"
  wait 2>/dev/null
  # A failed test leaves its folder to look at; a passed one its space.
  [ "$status" -eq 0 ] && rm -rf "$W"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

diagnostics() {
  local f
  echo "--- $W"
  ls -la "$W" "$PROG" 2>/dev/null
  for f in "$PROG/VESPREC.INI" "$W"/*.log "$PROG"/*.log "$W"/*.err "$W"/*.out "$W"/*.rc \
           "$W"/lost*.txt; do
    [ -f "$f" ] || continue
    echo "--- $f"
    head -c 4000 "$f" | cat -v
    echo
  done
  echo "--- COM7 -> $(readlink "$COM7_LINK" 2>/dev/null)"
  echo "--- windows of our VESPREC.EXE"
  vrtool children 2>/dev/null
  vrtool boxes 2>/dev/null
  echo "---"
}

fail() {
  echo "FAILED: $*"
  diagnostics
  exit 1
}
check() {  # MESSAGE COMMAND...: fails the test unless COMMAND succeeds
  local message="$1"
  shift
  "$@" || fail "$message"
}
expect_eq() {  # WHAT ACTUAL EXPECTED
  [ "$2" = "$3" ] || fail "$1: got [$2], expected [$3]"
}

# poll SECONDS COMMAND...: runs COMMAND until it succeeds or SECONDS pass.
poll() {
  local seconds="$1" end
  shift
  end=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.3
  done
}

count_of() {  # TEXT FILE: occurrences of TEXT in FILE
  [ -f "$2" ] || { echo 0; return; }
  grep -o -F -- "$1" "$2" | wc -l | tr -d ' '
}
crlf_count() {  # FILE: CR LF pairs in it
  [ -f "$1" ] || { echo 0; return; }
  perl -0777 -ne 'print scalar(() = /\r\n/g)' "$1"
}

# --- The display: a private Xvfb when the caller gave none ---

ensure_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  command -v Xvfb >/dev/null 2>&1 || skip "no DISPLAY and no Xvfb: the recorder needs a display"
  local numfile="$W/xvfb.display" i
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$numfile" >"$W/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for i in $(seq 100); do
    [ -s "$numfile" ] && break
    sleep 0.1
  done
  [ -s "$numfile" ] || fail "Xvfb did not start"
  export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
}
ensure_display

# The prefix made and a session running before COM7 is linked: Wine's
# device manager writes the prefix's COM links when a session starts.
"$WINE_RUN" --prefix="$PREFIX" --boot </dev/null >"$W/boot.log" 2>&1 ||
  fail "the Wine prefix $PREFIX could not be booted"

# --- Windows programs ---

# vrtool ARGS...: the driver, looking only at our copy of VESPREC.EXE.
vrtool() {
  "$WINE_RUN" --prefix="$PREFIX" "$VR_VRTOOL_EXE" --exe "$EXE_WIN" "$@" </dev/null \
    2>>"$W/vrtool.err"
}

# start_process NAME COMMAND...: runs COMMAND in the background; its output
# goes to $W/NAME.out and .err, its process id to $W/NAME.pid and its exit
# status, once it has ended, to $W/NAME.rc.
start_process() {
  local name="$1"
  shift
  rm -f "$W/$name.rc" "$W/$name.pid"
  (
    "$@" </dev/null >"$W/$name.out" 2>"$W/$name.err" &
    echo $! >"$W/$name.pid"
    wait $!
    echo $? >"$W/$name.rc"
  ) &
  PROC_NAMES+=("$name")
  poll 10 test -s "$W/$name.pid" || fail "$name did not start"
}
process_ended() { [ -s "$W/$1.rc" ]; }
# poll_alive NAME SECONDS COMMAND...: poll, but give up (status 2, with a
# word on standard error) as soon as process NAME has ended.
poll_alive() {
  local name="$1" seconds="$2" end
  shift 2
  end=$((SECONDS + seconds))
  until "$@"; do
    if process_ended "$name"; then
      echo "$name ended (exit status $(cat "$W/$name.rc")) while it was waited for" >&2
      return 2
    fi
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.3
  done
}
# wait_process NAME SECONDS: prints its exit status once it has ended.
wait_process() {
  poll "$2" process_ended "$1" || return 1
  cat "$W/$1.rc"
}
# start_recorder NAME: our copy of VESPREC.EXE, as start_process NAME.
start_recorder() { start_process "$1" "$WINE_RUN" --prefix="$PREFIX" "$PROG/VESPREC.EXE"; }
recorder_ended() { process_ended "$@"; }
wait_recorder() { wait_process "$@"; }

# --- vesper-sim and COM7 ---

# start_sim NAME ARGS...: vesper-sim ARGS with --sent $W/NAME.sent, as
# start_process NAME; sets SIM_PTY.
start_sim() {
  local name="$1"
  shift
  start_process "$name" "$VR_NATIVE_VESPER_SIM" "$@" --sent "$W/$name.sent"
  SIM_NAMES+=("$name")
  poll 20 grep -q . "$W/$name.out" || fail "vesper-sim printed no pty path"
  SIM_PTY="$(head -n 1 "$W/$name.out")"
  case "$SIM_PTY" in /dev/*) ;; *) fail "vesper-sim printed [$SIM_PTY], not a pty path" ;; esac
  MY_PTYS+=("$SIM_PTY")
}
stop_sims() {
  local name
  for name in "${SIM_NAMES[@]}"; do
    process_ended "$name" || stop_pid "$(cat "$W/$name.pid")"
    poll 10 process_ended "$name"
  done
  SIM_NAMES=()
}

link_com7() {  # PTY
  mkdir -p "$PREFIX/dosdevices"
  ln -sfn "$1" "$COM7_LINK" || fail "cannot link $COM7_LINK"
}

# --- VESPREC.INI ---

# The keys of a continuous COM site with XON/XOFF whose line headers are
# only its code (no date or time, so two programs' files can be compared).
SITE_KEYS=(Ogni SitoAbilitato Ricorrenza Ora Dispositivo Dati Dati2 Storico AggData AggOra
           EliminaNull CorreggiCR FlagCRLF Importazione STimeRead STimeWrite MTimeRead
           MTimeWrite FileTimeout SpazioTimeout Modem Baud BitDati Parita Stop Handshake Xon
           Xoff TimeoutFineImp)
declare -A KEY
site_defaults() {  # DATA_DIR_AS_THE_PROGRAM_NAMES_IT SEPARATOR
  local dir="$1" sep="$2"
  KEY=([Ogni]=3600 [SitoAbilitato]=1 [Ricorrenza]=0 [Ora]="10.00 01-01-2010p"
       [Dispositivo]=COM [Dati]="$dir${sep}dati.txt" [Dati2]="$dir${sep}dati2.txt"
       [Storico]="$dir${sep}storico.txt" [AggData]=0 [AggOra]=0 [EliminaNull]=0
       [CorreggiCR]=1 [FlagCRLF]=0 [Importazione]=2
       # Reads of 1 s: the recorder's unit is the tenth of a second.
       [STimeRead]=10 [STimeWrite]=10 [MTimeRead]=10 [MTimeWrite]=10 [FileTimeout]=60
       [SpazioTimeout]=0 [Modem]=0 [Baud]=9600 [BitDati]=8 [Parita]=N [Stop]=1
       [Handshake]=XON [Xon]=17 [Xoff]=19 [TimeoutFineImp]=2)
}
# write_ini FILE COM LOG: [General] and the site, CR LF line ends.
write_ini() {
  local file="$1" com="$2" log="$3"
  printf '[General]\r\nCom=%s\r\nLog=%s\r\n' "$com" "$log" >"$file"
  append_site "$file" "$SITE"
}
append_site() {  # FILE NAME: a site section with the keys of KEY
  local key
  {
    printf '[%s]\r\n' "$2"
    for key in "${SITE_KEYS[@]}"; do printf '%s=%s\r\n' "$key" "${KEY[$key]}"; done
  } >>"$1"
}
# The usual program folder: data files and log beside VESPREC.EXE.
write_windows_ini() {
  site_defaults "$(winpath "$PROG")" '\'
  [ $# -gt 0 ] && "$@"
  write_ini "$PROG/VESPREC.INI" COM7 "$(winpath "$PROG/vrec.log")"
}
ini_value() {  # FILE KEY: the value of KEY in the site's section
  perl -ne 'BEGIN { $s = 0 } s/\r?\n$//;
            if (/^\[(.*)\]/) { $s = ($1 eq $ENV{SITE_NAME}); next }
            if ($s && /^\Q'"$2"'\E=(.*)$/) { print $1; exit }' "$1"
}
export SITE_NAME="$SITE"

# --- What the data file must hold ---

# The data file of one connection, for a site with AggData=0, AggOra=0,
# CorreggiCR=1: a CR LF first, every line end (CR LF, LF CR, CR, LF) a
# CR LF, and the site code padded to five characters before every line.
# A Perl sub, shared by the helpers below.
readonly MODEL_PERL='
  sub connection_data {
    my ($text) = @_;
    return "" if $text eq "";
    my $header = substr($ENV{SITE_NAME}, 0, 4); $header .= " " x (5 - length $header);
    my $lines = "";
    for (my $i = 0; $i < length $text; ++$i) {
      my $c = substr($text, $i, 1);
      if ($c ne "\r" && $c ne "\n") { $lines .= $c; next }
      $lines .= "\r\n";
      my $other = $c eq "\r" ? "\n" : "\r";
      ++$i if $i + 1 < length $text && substr($text, $i + 1, 1) eq $other;
    }
    $lines = substr($lines, 2) if substr($lines, 0, 2) eq "\r\n";
    my $data = "\r\n"; my $start = 1;
    for my $c (split //, $lines) { $data .= $header if $start; $start = $c eq "\n"; $data .= $c }
    return $data;
  }
  sub slurp { my ($f) = @_; open(my $in, "<:raw", $f) or die "$f: $!"; local $/; return <$in> // "" }
'
# expected_data SENT [FROM [TO]]: the model for bytes FROM..TO-1 of SENT
# received over one connection.
expected_data() {
  perl -e "$MODEL_PERL"'
    my ($file, $from, $to) = @ARGV;
    my $all = slurp($file);
    $from //= 0; $to //= length $all;
    binmode STDOUT; print connection_data(substr($all, $from, $to - $from));' "$@"
}
# expected_across_one_drop SENT DATA: the model for SENT received over two
# connections, the first dropped somewhere inside it (a line the drop cut
# ends there, its rest starts a line of its own), at the cut that DATA
# shows; the model without a cut when no cut matches (a drop between lines
# leaves no trace).
expected_across_one_drop() {
  perl -e "$MODEL_PERL"'
    my ($file, $stored) = @ARGV;
    my $all = slurp($file); my $data = slurp($stored);
    my $expected = connection_data($all);
    for (my $cut = 1; $cut < length $all && $data ne $expected; ++$cut) {
      my $before = substr($all, $cut - 1, 1);
      next if $before eq "\r" || $before eq "\n";
      my $two = connection_data(substr($all, 0, $cut)) . connection_data(substr($all, $cut));
      $expected = $two if $two eq $data;
    }
    $expected = connection_data($all) if $data ne $expected;
    binmode STDOUT; print $expected;' "$@"
}
same_file() { cmp -s "$1" "$2"; }
# json FILE EXPRESSION: EXPRESSION (Perl, $j the object that FILE holds as
# JSON) printed; fails when FILE holds no JSON.
json() {
  perl -MJSON::PP -e 'local $/; open my $f, "<", $ARGV[0] or die; my $t = <$f>;
                      our $j = decode_json($t); print eval($ARGV[1]) // "undef"' "$1" "$2"
}
