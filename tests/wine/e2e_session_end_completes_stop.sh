#!/usr/bin/env bash
# The end of the session, as another process sends its messages to
# VESPREC.EXE's main window while records are coming: the question
# (WM_QUERYENDSESSION) stops nothing, a cancelled end (WM_ENDSESSION with
# FALSE) leaves it recording, and the end itself (WM_ENDSESSION with TRUE)
# returns only after the orderly stop has run to its end: at the moment the
# answer comes, the data files hold every byte the recorder took from the
# line, FlagCRLF is written back and the close is logged, and nothing
# changes after it. vesper-sim --lost says which bytes the recorder took.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly WM_QUERYENDSESSION=17
readonly WM_ENDSESSION=22
readonly STEP=10  # records that must arrive after each message that stops nothing
readonly FILES=(dati.txt dati2.txt storico.txt)

start_sim sim exchange --records 0 --rate 20 --seed 11 --lost "$W/lost.txt"
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder vesprec

stored() { crlf_count "$PROG/dati.txt"; }
more_than() { [ "$(stored)" -gt "$1" ]; }
keeps_recording() {  # WHAT: records keep coming after WHAT, no close logged
  local now
  now="$(stored)"
  poll_alive vesprec "$RECEIVE_DEADLINE" more_than $((now + STEP)) ||
    fail "VESPREC.EXE stopped recording after $1 ($(stored) line ends stored)"
  expect_eq "close lines after $1" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 0
}
poll_alive vesprec "$RECEIVE_DEADLINE" more_than "$STEP" ||
  fail "VESPREC.EXE stored $(stored) line ends, expected more than $STEP"

answer="$(vrtool send "$WM_QUERYENDSESSION" 0 0)" || fail "cannot send WM_QUERYENDSESSION"
expect_eq "answer to WM_QUERYENDSESSION" "$answer" 1
keeps_recording WM_QUERYENDSESSION

answer="$(vrtool send "$WM_ENDSESSION" 0 0)" || fail "cannot send WM_ENDSESSION (not ending)"
expect_eq "answer to WM_ENDSESSION (not ending)" "$answer" 0
keeps_recording "WM_ENDSESSION with FALSE"

mkdir -p "$W/at-return"
copies=()
for f in "${FILES[@]}" vrec.log VESPREC.INI; do
  copies+=("$(winpath "$PROG/$f")" "$(winpath "$W/at-return/$f")")
done
answer="$(vrtool send "$WM_ENDSESSION" 1 0 "${copies[@]}")" ||
  fail "cannot send WM_ENDSESSION (ending)"
expect_eq "answer to WM_ENDSESSION (ending)" "$answer" 0
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end after WM_ENDSESSION"
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
expected_data "$W/sim.sent" "$from" "$to" >"$W/expected.txt"
for f in "${FILES[@]}"; do
  check "$f, when WM_ENDSESSION returned, did not hold exactly the bytes $from..$to taken from the line" \
    same_file "$W/at-return/$f" "$W/expected.txt"
  check "$f changed after WM_ENDSESSION returned" same_file "$PROG/$f" "$W/at-return/$f"
done
check "VESPREC.INI changed after WM_ENDSESSION returned" \
  same_file "$PROG/VESPREC.INI" "$W/at-return/VESPREC.INI"
[ -n "$(ini_value "$W/at-return/VESPREC.INI" FlagCRLF)" ] || fail "FlagCRLF missing from VESPREC.INI"
check "the log changed after WM_ENDSESSION returned" same_file "$PROG/vrec.log" "$W/at-return/vrec.log"
expect_eq "close lines when WM_ENDSESSION returned" \
  "$(count_of "$CLOSE_LINE" "$W/at-return/vrec.log")" 1
expect_eq "connections closed" "$(count_of "$PORT_CLOSED_LINE" "$PROG/vrec.log")" 1
last="$(tr -d '\r' <"$W/at-return/vrec.log" | grep -v '^$' | tail -n 1)"
case "$last" in *"$CLOSE_LINE"*) ;; *) fail "the log ends with [$last], not the close line" ;; esac
echo "PASSED: the session's end ran the stop to its end before it returned, bytes $from..$to stored"
