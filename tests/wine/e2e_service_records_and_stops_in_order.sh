#!/usr/bin/env bash
# VESPREC.EXE as a service, all in one Wine session (Wine ends its services
# when the last program of the session ends, so a holder window keeps it):
# /Installa refuses a VESPREC.INI without Com, registers
# VesperRecorder_COM7 (and refuses a second time),
# the service manager starts it, it records from vesper-sim on COM7 with no
# window shown, /Stato from another process shows the records it counted, a
# desktop start for the same port sees it and ends with its
# start and close lines, "sc stop" ends it in order (the close logged,
# every byte taken from the line stored as vesprec stores it, state
# stopped), and /Disinstalla removes it (and says so when there is nothing
# to remove).
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly SERVICE=VesperRecorder_COM7
readonly RECORDS=20
readonly FILES=(dati.txt dati2.txt storico.txt)

start_sim sim exchange --records 0 --rate 20 --seed 5 --lost "$W/lost.txt"
link_com7 "$SIM_PTY"
write_windows_ini
start_process holder "$WINE_RUN" --prefix="$PREFIX" "$VR_VRTOOL_EXE" hold-foreground 900000

wine_cmd() {  # NAME PROGRAM ARGS...: runs it to its end; output in $W/NAME.out, status printed
  local name="$1"
  shift
  "$WINE_RUN" --prefix="$PREFIX" "$@" </dev/null >"$W/$name.out" 2>"$W/$name.err"
  echo $?
}
service_state() { "$WINE_RUN" --prefix="$PREFIX" sc query "$SERVICE" </dev/null 2>/dev/null | tr -d '\r'; }
state_is() { service_state | grep -q "STATE *: *[0-9]* *$1"; }
# The reports are in the program's ANSI code page.
says() { LC_ALL=C grep -q "$@"; }
# No service is left behind in the prefix (it would start with the next
# session of the prefix), whatever the end of the test.
remove_service() {
  "$WINE_RUN" --prefix="$PREFIX" sc stop "$SERVICE" </dev/null >/dev/null 2>&1
  "$WINE_RUN" --prefix="$PREFIX" sc delete "$SERVICE" </dev/null >/dev/null 2>&1
}
remove_service
trap 'status=$?; remove_service; (exit $status); cleanup' EXIT

# A VESPREC.INI without Com names no port: nothing is registered.
cp "$PROG/VESPREC.INI" "$W/VESPREC.INI.full"
perl -ne 'print unless /^Com=/' "$W/VESPREC.INI.full" >"$PROG/VESPREC.INI"
rc="$(wine_cmd install0 "$PROG/VESPREC.EXE" /Installa)"
[ "$rc" -ne 0 ] || fail "/Installa registered a service for a VESPREC.INI without Com: [$(cat "$W/install0.out")]"
cp "$W/VESPREC.INI.full" "$PROG/VESPREC.INI"

rc="$(wine_cmd install "$PROG/VESPREC.EXE" /Installa)"
expect_eq "exit code of /Installa" "$rc" 0
says "Servizio $SERVICE (Vesper Recorder COM7) installato" "$W/install.out" ||
  fail "/Installa did not say what it did: [$(cat "$W/install.out")]"
rc="$(wine_cmd install2 "$PROG/VESPREC.EXE" /Installa)"
expect_eq "exit code of a second /Installa" "$rc" 2
says "$SERVICE .* installato\." "$W/install2.out" ||
  fail "a second /Installa did not say the service exists: [$(cat "$W/install2.out")]"

rc="$(wine_cmd start sc start "$SERVICE")"
expect_eq "exit code of sc start" "$rc" 0
stored() { crlf_count "$PROG/dati.txt"; }
received() { [ "$(stored)" -gt "$RECORDS" ]; }
poll "$RECEIVE_DEADLINE" received || fail "the service stored $(stored) line ends, expected more than $RECORDS"
state_is RUNNING || fail "sc query does not say running: $(service_state)"
# The CR LF that the connection's first header begins with is no record.
before="$(($(stored) - 1))"
rc="$(wine_cmd stato "$PROG/VESPREC.EXE" /Stato)"
expect_eq "exit code of /Stato of the service" "$rc" 0
json "$W/stato.out" 1 >/dev/null 2>"$W/json.err" ||
  fail "/Stato printed no JSON: [$(cat "$W/stato.out")] $(cat "$W/json.err")"
expect_eq "port of the service" "$(json "$W/stato.out" '$j->{port}')" COM7
counted="$(json "$W/stato.out" '$j->{sites}[0]{records}')"
[ "$counted" -ge "$before" ] ||
  fail "/Stato counted $counted records of the service, but $before were stored before it asked"
# Nothing of it on the desktop: no window and so no tray icon.
vrtool find >/dev/null && fail "the service shows a window on the desktop"

# A desktop start for the port that the service serves.
start_recorder desktop
rc="$(wait_recorder desktop "$STOP_DEADLINE")" || fail "a second VESPREC.EXE did not end"
expect_eq "exit code of the desktop start" "$rc" 0
expect_eq "start lines" "$(count_of "$START_LINE" "$PROG/vrec.log")" 2
expect_eq "close lines while the service runs" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
state_is RUNNING || fail "the desktop start stopped the service: $(service_state)"

rc="$(wine_cmd stop sc stop "$SERVICE")"
expect_eq "exit code of sc stop" "$rc" 0
poll "$STOP_DEADLINE" state_is STOPPED || fail "the service did not stop: $(service_state)"
service_state | grep -q 'WIN32_EXIT_CODE *: *0 ' || fail "the service's exit code: $(service_state)"
poll 30 grep -q '^gone ' "$W/lost.txt" || fail "vesper-sim did not see the line closed"
stop_sims
grep -q '^end ' "$W/lost.txt" || fail "vesper-sim did not finish its account of the line"
field() { awk -v w="$1" -v n="$2" '$1 == w { print $n }' "$W/lost.txt"; }
expect_eq "readers that came" "$(field back 1 | wc -l | tr -d ' ')" 1
expect_eq "bytes of unknown fate" "$(field unsure 2)" ""
from="$(field back 2)"
to="$(field gone 2)"
expected_data "$W/sim.sent" "$from" "$to" >"$W/expected.txt"
for f in "${FILES[@]}"; do
  check "$f does not hold exactly the bytes $from..$to that the service took from the line" \
    same_file "$PROG/$f" "$W/expected.txt"
done
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 2
last="$(tr -d '\r' <"$PROG/vrec.log" | grep -v '^$' | tail -n 1)"
case "$last" in *"$CLOSE_LINE"*) ;; *) fail "the log ends with [$last], not the close line" ;; esac

rc="$(wine_cmd uninstall "$PROG/VESPREC.EXE" /Disinstalla)"
expect_eq "exit code of /Disinstalla" "$rc" 0
says "Servizio $SERVICE fermato e rimosso\." "$W/uninstall.out" ||
  fail "/Disinstalla did not say what it did: [$(cat "$W/uninstall.out")]"
service_state | grep -q RUNNING && fail "the service is still there: $(service_state)"
rc="$(wine_cmd uninstall2 "$PROG/VESPREC.EXE" /Disinstalla)"
expect_eq "exit code of a second /Disinstalla" "$rc" 2
says "$SERVICE non .* installato\." "$W/uninstall2.out" ||
  fail "a second /Disinstalla did not say there is no service: [$(cat "$W/uninstall2.out")]"
echo "PASSED: the service recorded bytes $from..$to, stopped in order and was removed"
