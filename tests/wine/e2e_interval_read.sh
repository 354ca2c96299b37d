#!/usr/bin/env bash
# VESPREC.EXE with SIntervalRead=20 and reads of 60 s (STimeRead=600) on
# COM7, the exchange printing a record every 20 s: a record is in the data
# file once the line goes quiet after it, before the exchange prints the
# next one, which a read ended by its total time-out or its count (73 200
# bytes) would have taken in too. Then a burst of records printed back to
# back is stored complete and in order, again before the next record.
# Nothing here measures how long anything took: the order of the exchange's
# records and the data file tells.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly BURST=40
start_sim sim exchange --records 1000 --rate 0.05 --seed 20 --burst "$BURST"
link_com7 "$SIM_PTY"
write_windows_ini
KEY[STimeRead]=600
write_ini "$PROG/VESPREC.INI" COM7 "$(winpath "$PROG/vrec.log")"
printf 'SIntervalRead=20\r\n' >>"$PROG/VESPREC.INI"
start_recorder vesprec

sent() { crlf_count "$W/sim.sent"; }
# The data file holds what the exchange has printed, at least N records.
caught_up() {
  [ "$(sent)" -ge "$1" ] || return 1
  expected_data "$W/sim.sent" >"$W/expected.txt"
  same_file "$PROG/dati.txt" "$W/expected.txt"
}

poll_alive vesprec "$RECEIVE_DEADLINE" caught_up 1 ||
  fail "VESPREC.EXE did not store the first record ($(sent) printed)"
expect_eq "records printed when the first was stored" "$(sent)" 1

# The burst starts with the record due next and goes on back to back; the
# record after it may follow at once, the one after that comes 20 s later.
kill -USR1 "$(cat "$W/sim.pid")"
poll_alive vesprec "$RECEIVE_DEADLINE" caught_up $((BURST + 1)) ||
  fail "VESPREC.EXE did not store the burst complete and in order ($(sent) printed)"
[ "$(sent)" -le $((BURST + 2)) ] ||
  fail "the burst was stored only after $(sent) records were printed"
grep -q "burst done" "$W/sim.err" || fail "vesper-sim did not say its burst was done"

check "cannot post WM_USER+200" vrtool post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$rc" 0
stop_sims
expected_data "$W/sim.sent" >"$W/expected.txt"
for f in dati.txt dati2.txt storico.txt; do
  check "$f does not hold exactly what the exchange printed" same_file "$PROG/$f" "$W/expected.txt"
done
echo "PASSED: each record stored as the line went quiet, a burst of $BURST complete and in order"
