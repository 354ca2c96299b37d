#!/usr/bin/env bash
# VESPREC.EXE with an AVAYA site: DevLink.dll (the x86_64 stand-in) beside
# it, connected over loopback to the native `vesper-sim avaya`. Every record
# the simulator hands over reaches the three data files once and in order,
# and WM_USER+200 ends the run with DLClose, which closes the link.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly RECORDS=40
[ -f "${VR_DEVLINK_DLL:-}" ] || { echo "no DevLink.dll at ${VR_DEVLINK_DLL:-?}" >&2; exit 2; }

start_process sim "$VR_NATIVE_VESPER_SIM" avaya --password segreta --records "$RECORDS" \
  --rate 20 --sent "$W/sim.sent"
poll 20 grep -q . "$W/sim.out" || fail "vesper-sim avaya printed no address"
ADDRESS="$(head -n 1 "$W/sim.out")"
cp "$VR_DEVLINK_DLL" "$PROG/DevLink.dll"

avaya_site() {
  KEY[Dispositivo]=AVAYA
  KEY[IndirizzoIP]="$ADDRESS"
  KEY[Password]=segreta
  SITE_KEYS+=(IndirizzoIP Password)
}
site_defaults "$(winpath "$PROG")" '\'
avaya_site
# A port name of its own: no other test's instance holds its mutex.
write_ini "$PROG/VESPREC.INI" AVAYA1 "$(winpath "$PROG/vrec.log")"
start_recorder vesprec

all_stored() { [ "$(crlf_count "$PROG/storico.txt")" -ge $((RECORDS + 1)) ]; }
poll_alive vesprec "$RECEIVE_DEADLINE" all_stored ||
  fail "the records did not all arrive ($(crlf_count "$PROG/storico.txt") lines)"

check "cannot post WM_USER+200" vrtool --timeout $((START_DEADLINE * 1000)) post "$QUIT_MESSAGE"
status="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$status" 0
poll 20 grep -q "link closed by the client" "$W/sim.err" ||
  fail "the link was not closed (no DLClose?)"

expected_data "$W/sim.sent" >"$W/expected.txt"
for file in dati.txt dati2.txt storico.txt; do
  same_file "$PROG/$file" "$W/expected.txt" || fail "$file differs from what was sent"
done
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
echo "PASSED: $RECORDS records through DevLink.dll into the three files, DLClose on the stop"
