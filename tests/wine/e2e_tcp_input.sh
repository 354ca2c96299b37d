#!/usr/bin/env bash
# VESPREC.EXE reading an exchange over TCP (Com=tcp:127.0.0.1:PORT, Winsock)
# from the native vesper-sim on loopback: the exchange drops the link once in
# the middle, and the three files still hold, byte for byte, every record it
# printed, once; a line the drop cut ends there, as vesprec ends it.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly RECORDS=40
readonly FILES=(dati.txt dati2.txt storico.txt)

start_process sim "$VR_NATIVE_VESPER_SIM" exchange --records "$RECORDS" --rate 20 --seed 11 \
  --tcp 127.0.0.1:0 --drop-link --exit-when-done --sent "$W/sim.sent"
poll 20 grep -q . "$W/sim.out" || fail "vesper-sim printed no address"
address="$(head -n 1 "$W/sim.out")"
write_windows_ini
write_ini "$PROG/VESPREC.INI" "tcp:$address" "$(winpath "$PROG/vrec.log")"
start_recorder vesprec

half() { [ "$(crlf_count "$PROG/dati.txt")" -gt $((RECORDS / 3)) ]; }
poll_alive vesprec "$RECEIVE_DEADLINE" half ||
  fail "VESPREC.EXE stored $(crlf_count "$PROG/dati.txt") line ends over TCP"
kill -USR2 "$(cat "$W/sim.pid")"
poll_alive vesprec "$RECEIVE_DEADLINE" grep -q "di nuovo attiva" "$PROG/vrec.log" ||
  fail "the connection was not made again after the drop"
poll 60 process_ended sim || fail "vesper-sim did not hand over every record"
check "cannot post WM_USER+200" vrtool post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$rc" 0

expected_across_one_drop "$W/sim.sent" "$PROG/dati.txt" >"$W/expected.txt"
expect_eq "records the exchange printed" "$(crlf_count "$W/sim.sent")" "$RECORDS"
for f in "${FILES[@]}"; do
  check "$f does not hold exactly what the exchange printed" same_file "$PROG/$f" "$W/expected.txt"
done
expect_eq "drops logged" "$(count_of " persa" "$PROG/vrec.log")" 2
echo "PASSED: $RECORDS records over TCP, across a dropped link, stored once each"
