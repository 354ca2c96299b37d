#!/usr/bin/env bash
# VESPREC.EXE with SIntervalRead=20 and reads of 60 s (STimeRead=600), on
# COM7 and then on TCP input, the exchange printing a record every 20 s: a
# record is in the data file once the line goes quiet after it, before the
# exchange prints the next one, which a read ended by its total time-out or
# its count (73 200 bytes) would have taken in too. Then a burst of records
# printed back to back is stored complete and in order, again before the
# next record. Nothing here measures how long anything took: the order of
# the exchange's records and the data file tells.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly BURST=40
readonly SIM_ARGS=(exchange --records 1000 --rate 0.05 --seed 20 --burst "$BURST")

sent() { crlf_count "$W/$SIM.sent"; }
# The data file holds what the exchange has printed, at least N records.
caught_up() {
  [ "$(sent)" -ge "$1" ] || return 1
  expected_data "$W/$SIM.sent" >"$W/expected.txt"
  same_file "$PROG/dati.txt" "$W/expected.txt"
}

# run_site COM: one recorder run on a fresh program folder, against the
# simulator $SIM already started.
run_site() {
  local com="$1" rc f
  rm -f "$PROG"/*.txt "$PROG"/*.TXT
  write_windows_ini
  KEY[STimeRead]=600
  write_ini "$PROG/VESPREC.INI" "$com" "$(winpath "$PROG/vrec.log")"
  printf 'SIntervalRead=20\r\n' >>"$PROG/VESPREC.INI"
  start_recorder "vesprec-$SIM"

  poll_alive "vesprec-$SIM" "$RECEIVE_DEADLINE" caught_up 1 ||
    fail "$com: VESPREC.EXE did not store the first record ($(sent) printed)"
  expect_eq "$com: records printed when the first was stored" "$(sent)" 1

  # The burst starts with the record due next and goes on back to back; the
  # record after it may follow at once, the one after that comes 20 s later.
  kill -USR1 "$(cat "$W/$SIM.pid")"
  poll_alive "vesprec-$SIM" "$RECEIVE_DEADLINE" caught_up $((BURST + 1)) ||
    fail "$com: VESPREC.EXE did not store the burst complete and in order ($(sent) printed)"
  [ "$(sent)" -le $((BURST + 2)) ] ||
    fail "$com: the burst was stored only after $(sent) records were printed"
  grep -q "burst done" "$W/$SIM.err" || fail "vesper-sim did not say its burst was done"

  check "cannot post WM_USER+200" vrtool post "$QUIT_MESSAGE"
  rc="$(wait_recorder "vesprec-$SIM" "$STOP_DEADLINE")" ||
    fail "$com: VESPREC.EXE did not end on WM_USER+200"
  expect_eq "$com: exit code" "$rc" 0
  stop_sims
  expected_data "$W/$SIM.sent" >"$W/expected.txt"
  for f in dati.txt dati2.txt storico.txt; do
    check "$com: $f does not hold exactly what the exchange printed" \
      same_file "$PROG/$f" "$W/expected.txt"
  done
}

SIM=com-sim
start_sim "$SIM" "${SIM_ARGS[@]}"
link_com7 "$SIM_PTY"
run_site COM7

SIM=tcp-sim
start_process "$SIM" "$VR_NATIVE_VESPER_SIM" "${SIM_ARGS[@]}" --tcp 127.0.0.1:0 \
  --sent "$W/$SIM.sent"
SIM_NAMES+=("$SIM")
poll 20 grep -q . "$W/$SIM.out" || fail "vesper-sim printed no address"
run_site "tcp:$(head -n 1 "$W/$SIM.out")"
echo "PASSED: on COM7 and on TCP, each record stored as the line went quiet, a burst of" \
     "$BURST complete and in order"
