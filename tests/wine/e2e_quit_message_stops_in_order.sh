#!/usr/bin/env bash
# WM_USER+200, posted to VESPREC.EXE's main window by another process while
# records are coming, stops it in order: it ends with exit code 0, logs its
# close, and loses nothing: its files hold, byte for byte, everything it took
# from the line. vesper-sim --lost says exactly which bytes that was: the pty
# loses what nobody reads, as a serial port does, and logs where the reader
# came ("back") and where it let go ("gone").
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly BEFORE_QUIT=20  # records received before the stop is asked for
readonly FILES=(dati.txt dati2.txt storico.txt)

# Without an end, so that the stop comes in the middle of the stream.
start_sim sim exchange --records 0 --rate 20 --seed 9 --lost "$W/lost.txt"
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder vesprec
received() { [ "$(crlf_count "$PROG/dati.txt")" -gt "$BEFORE_QUIT" ]; }
poll_alive vesprec "$RECEIVE_DEADLINE" received ||
  fail "VESPREC.EXE stored $(crlf_count "$PROG/dati.txt") line ends, expected more than $BEFORE_QUIT"

check "cannot post WM_USER+200" vrtool post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$rc" 0
poll 30 grep -q '^gone ' "$W/lost.txt" || fail "vesper-sim did not see the line closed"
stop_sims
grep -q '^end ' "$W/lost.txt" || fail "vesper-sim did not finish its account of the line"

field() { awk -v w="$1" -v n="$2" '$1 == w { print $n }' "$W/lost.txt"; }
expect_eq "readers that came" "$(field back 1 | wc -l | tr -d ' ')" 1
expect_eq "readers that went" "$(field gone 1 | wc -l | tr -d ' ')" 1
expect_eq "bytes of unknown fate" "$(field unsure 2)" ""
from="$(field back 2)"
to="$(field gone 2)"
[ "$to" -gt "$from" ] || fail "the recorder took nothing from the line (back $from, gone $to)"

expected_data "$W/sim.sent" "$from" "$to" >"$W/expected.txt"
for f in "${FILES[@]}"; do
  check "$f does not hold exactly the bytes $from..$to that VESPREC.EXE took from the line" \
    same_file "$PROG/$f" "$W/expected.txt"
done
expect_eq "start lines" "$(count_of "$START_LINE" "$PROG/vrec.log")" 1
expect_eq "connections closed" "$(count_of "$PORT_CLOSED_LINE" "$PROG/vrec.log")" 1
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
# The close line is the last thing the program logs.
last="$(tr -d '\r' <"$PROG/vrec.log" | grep -v '^$' | tail -n 1)"
case "$last" in *"$CLOSE_LINE"*) ;; *) fail "the log ends with [$last], not the close line" ;; esac
echo "PASSED: WM_USER+200 ended VESPREC.EXE in order, bytes $from..$to all stored"
