#!/usr/bin/env bash
# VESPREC.EXE /Stato, run as a second Windows process while a desktop
# VESPREC.EXE records from vesper-sim on COM7, prints the running instance's
# status as one line of JSON (port, pid, the site, the records counted);
# /Ctl takes the other requests through the same pipe: a refusal ends
# non-zero with the instance's reason, /Ctl quit stops the recorder in
# order. Once it has ended, /Stato says that nothing runs for the port and
# ends non-zero.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly RECORDS=20

start_sim sim exchange --records 0 --rate 20 --seed 11 --lost "$W/lost.txt"
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder vesprec

wine_cmd() {  # NAME PROGRAM ARGS...: runs it to its end; output in $W/NAME.out, status printed
  local name="$1"
  shift
  "$WINE_RUN" --prefix="$PREFIX" "$@" </dev/null >"$W/$name.out" 2>"$W/$name.err"
  echo $?
}
# The reports are in the program's ANSI code page.
says() { LC_ALL=C grep -q "$@"; }

stored() { crlf_count "$PROG/dati.txt"; }
received() { [ "$(stored)" -gt "$RECORDS" ]; }
poll_alive vesprec "$RECEIVE_DEADLINE" received ||
  fail "VESPREC.EXE stored $(stored) line ends, expected more than $RECORDS"
# The CR LF that the connection's first header begins with is no record.
before="$(($(stored) - 1))"

rc="$(wine_cmd stato "$PROG/VESPREC.EXE" /Stato)"
expect_eq "exit code of /Stato" "$rc" 0
expect_eq "lines printed by /Stato" "$(grep -c . "$W/stato.out")" 1
json "$W/stato.out" 1 >/dev/null 2>"$W/json.err" ||
  fail "/Stato printed no JSON: [$(cat "$W/stato.out")] $(cat "$W/json.err")"
expect_eq "port" "$(json "$W/stato.out" '$j->{port}')" COM7
expect_eq "site" "$(json "$W/stato.out" '$j->{site}')" "$SITE"
expect_eq "sites listed" "$(json "$W/stato.out" 'scalar @{$j->{sites}}')" 1
expect_eq "the site's code" "$(json "$W/stato.out" '$j->{sites}[0]{code}')" "$SITE"
counted="$(json "$W/stato.out" '$j->{sites}[0]{records}')"
# Stored before the question: counted by the time of the answer.
[ "$counted" -ge "$before" ] ||
  fail "/Stato counted $counted records, but $before were stored before it asked"
bytes="$(json "$W/stato.out" '$j->{sites}[0]{bytes}')"
[ "$bytes" -gt "$counted" ] || fail "/Stato counted $bytes bytes for $counted records"
pid="$(json "$W/stato.out" '$j->{pid}')"
[ "$pid" -gt 0 ] || fail "/Stato gave the pid [$pid]"

rc="$(wine_cmd refused "$PROG/VESPREC.EXE" /Ctl start 9999)"
expect_eq "exit code of a refused /Ctl" "$rc" 2
says "rifiutata da Vesper Recorder per COM7: no site 9999 in the sites menu" "$W/refused.out" ||
  fail "a refused /Ctl did not say why: [$(cat "$W/refused.out")]"
rc="$(wine_cmd usage "$PROG/VESPREC.EXE" /Ctl)"
expect_eq "exit code of /Ctl alone" "$rc" 2
says "/Ctl status | stop" "$W/usage.out" || fail "/Ctl alone did not say how: [$(cat "$W/usage.out")]"

rc="$(wine_cmd quit "$PROG/VESPREC.EXE" /Ctl quit)"
expect_eq "exit code of /Ctl quit" "$rc" 0
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on /Ctl quit"
expect_eq "exit code of the recorder" "$rc" 0
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
last="$(tr -d '\r' <"$PROG/vrec.log" | grep -v '^$' | tail -n 1)"
case "$last" in *"$CLOSE_LINE"*) ;; *) fail "the log ends with [$last], not the close line" ;; esac

rc="$(wine_cmd none "$PROG/VESPREC.EXE" /Stato)"
expect_eq "exit code of /Stato with nothing running" "$rc" 1
says "Vesper Recorder non .* in esecuzione per COM7" "$W/none.out" ||
  fail "/Stato with nothing running did not say so: [$(cat "$W/none.out")]"
stop_sims
echo "/Stato said: $(tr -d '\r' <"$W/stato.out")"
echo "PASSED: /Stato counted $counted records of $SITE from another process, /Ctl quit stopped it"
