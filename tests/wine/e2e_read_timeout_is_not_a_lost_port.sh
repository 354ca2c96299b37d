#!/usr/bin/env bash
# A read that ends on its time-out with no byte is an empty read, not a lost
# port: with reads of half a second (STimeRead=5) and an exchange that cuts
# every CR LF in two with a pause longer than a read (vesper-sim
# --split-line-end), many reads of VESPREC.EXE under Wine end with nothing,
# and the pairs fall between reads. The program keeps its one connection (no
# "persa" line, one connection's opening line end in the data file) and
# stores byte for byte what vesprec stores for the same exchange.
source "$(dirname "$0")/wine_e2e_lib.sh"

[ -x "${VR_NATIVE_VESPREC:-}" ] ||
  skip "no native vesprec at ${VR_NATIVE_VESPREC:-?}: build the native tree first"

readonly RECORDS=10
readonly SIM_ARGS=(exchange --records "$RECORDS" --rate 1 --split-line-end 800 --seed 1717)
readonly FILES=(dati.txt dati2.txt storico.txt)
readonly LOST_WORD="persa"

half_second_reads() { KEY[STimeRead]=5; }
# A connection's data: a line end first, then one header and line end per record.
stored_all() { [ "$(crlf_count "$1/dati.txt")" -ge $((RECORDS + 1)) ]; }
printed_all() { [ "$(crlf_count "$W/$1.sent")" -ge "$RECORDS" ]; }
wait_all_read() {  # SIM_NAME RECORDER_NAME
  poll_alive "$2" "$RECEIVE_DEADLINE" process_ended "$1" ||
    fail "the recorder did not read all $RECORDS records ($1 still runs)"
  expect_eq "$1 exit status" "$(cat "$W/$1.rc")" 0
}

# --- vesprec on the pty ---
NATIVE="$W/native"
mkdir -p "$NATIVE"
start_sim native-sim "${SIM_ARGS[@]}" --exit-when-done
site_defaults "$NATIVE" /
half_second_reads
write_ini "$NATIVE/VESPREC.INI" "$SIM_PTY" "$NATIVE/vrec.log"
export XDG_RUNTIME_DIR="$W/run"
start_process vesprec "$VR_NATIVE_VESPREC" --dir "$NATIVE"
wait_all_read native-sim vesprec
"$VR_NATIVE_VESPREC" ctl --dir "$NATIVE" quit </dev/null >"$W/ctl.out" 2>&1 ||
  fail "vesprec ctl quit failed"
rc="$(wait_process vesprec "$STOP_DEADLINE")" || fail "vesprec did not end on ctl quit"
expect_eq "vesprec exit code" "$rc" 0
expected_data "$W/native-sim.sent" >"$W/expected.txt"
check "vesprec's dati.txt differs from the model of what the exchange printed" \
  same_file "$NATIVE/dati.txt" "$W/expected.txt"

# --- VESPREC.EXE on COM7 ---
# The exchange stays on the line until the recorder has stopped: its going
# away would be a lost port indeed.
start_sim win-sim "${SIM_ARGS[@]}"
link_com7 "$SIM_PTY"
write_windows_ini half_second_reads
start_recorder vesprec-exe
poll_alive vesprec-exe "$RECEIVE_DEADLINE" printed_all win-sim ||
  fail "the exchange did not print its $RECORDS records"
# Usually stored by now; under Wine the last chunk may wait for the stop.
poll_alive vesprec-exe 20 stored_all "$PROG" ||
  echo "NOTE: VESPREC.EXE had stored $(crlf_count "$PROG/dati.txt") of $((RECORDS + 1))" \
       "line ends before the stop"
check "cannot post WM_USER+200 to VESPREC.EXE" vrtool --timeout 10000 post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec-exe "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "VESPREC.EXE exit code" "$rc" 0
stop_sims

# --- One connection, and the files of vesprec ---
check "the two simulators printed different text" same_file "$W/win-sim.sent" "$W/native-sim.sent"
expect_eq "records printed" "$(crlf_count "$W/win-sim.sent")" "$RECORDS"
expect_eq "lines saying the port was lost" "$(count_of "$LOST_WORD" "$PROG/vrec.log")" 0
expect_eq "connections ended" "$(count_of "$PORT_CLOSED_LINE" "$PROG/vrec.log")" 1
for f in "${FILES[@]}"; do
  check "$f of VESPREC.EXE differs from vesprec's (cmp: $(cmp "$PROG/$f" "$NATIVE/$f" 2>&1))" \
    same_file "$PROG/$f" "$NATIVE/$f"
done
expect_eq "FlagCRLF written back" "$(ini_value "$PROG/VESPREC.INI" FlagCRLF)" \
  "$(ini_value "$NATIVE/VESPREC.INI" FlagCRLF)"
echo "PASSED: reads that time out kept the connection; the files are those of vesprec"
