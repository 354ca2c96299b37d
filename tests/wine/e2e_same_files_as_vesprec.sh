#!/usr/bin/env bash
# VESPREC.EXE under Wine and the native vesprec, each on its own vesper-sim
# that plays the same exchange (same records, same seed), store the same
# bytes: the data file, the second data file and the history file of the one
# site are byte for byte the same, and both are what the data file model
# says for what the exchange printed. Headers carry no date or time
# (AggData=0, AggOra=0), so nothing differs between the two runs.
#
# Each program is stopped in order once its exchange has handed over every
# record and the recorder has read them all (vesper-sim --exit-when-done):
# under Wine the last chunk may still sit in a read that waits for more (see
# wine_e2e_lib.sh), and the stop must store it.
source "$(dirname "$0")/wine_e2e_lib.sh"

[ -x "${VR_NATIVE_VESPREC:-}" ] ||
  skip "no native vesprec at ${VR_NATIVE_VESPREC:-?}: build the native tree first"

readonly RECORDS=60
# Twenty records a second: the run spans the recorder's start, so some records
# wait in the line and some come while it reads.
readonly SIM_ARGS=(exchange --records "$RECORDS" --rate 20 --seed 4242 --exit-when-done)
readonly FILES=(dati.txt dati2.txt storico.txt)

# A connection's data: a line end first, then one header and line end per record.
stored_all() { [ "$(crlf_count "$1/dati.txt")" -ge $((RECORDS + 1)) ]; }
# The simulator ends by itself once the recorder has read everything.
wait_all_read() {  # SIM_NAME RECORDER_NAME
  poll_alive "$2" "$RECEIVE_DEADLINE" process_ended "$1" ||
    fail "the recorder did not read all $RECORDS records ($1 still runs)"
  expect_eq "$1 exit status" "$(cat "$W/$1.rc")" 0
}

# --- vesprec on the pty ---
NATIVE="$W/native"
mkdir -p "$NATIVE"
start_sim native-sim "${SIM_ARGS[@]}"
site_defaults "$NATIVE" /
write_ini "$NATIVE/VESPREC.INI" "$SIM_PTY" "$NATIVE/vrec.log"
export XDG_RUNTIME_DIR="$W/run"
start_process vesprec "$VR_NATIVE_VESPREC" --dir "$NATIVE"
wait_all_read native-sim vesprec
poll_alive vesprec "$RECEIVE_DEADLINE" stored_all "$NATIVE" ||
  fail "vesprec stored $(crlf_count "$NATIVE/dati.txt") line ends, expected $((RECORDS + 1))"
"$VR_NATIVE_VESPREC" ctl --dir "$NATIVE" quit </dev/null >"$W/ctl.out" 2>&1 ||
  fail "vesprec ctl quit failed"
rc="$(wait_process vesprec "$STOP_DEADLINE")" || fail "vesprec did not end on ctl quit"
expect_eq "vesprec exit code" "$rc" 0
expected_data "$W/native-sim.sent" >"$W/expected.txt"
for f in "${FILES[@]}"; do
  check "vesprec's $f differs from the model of what the exchange printed" \
    same_file "$NATIVE/$f" "$W/expected.txt"
done

# --- VESPREC.EXE on COM7 ---
start_sim win-sim "${SIM_ARGS[@]}"
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder vesprec-exe
wait_all_read win-sim vesprec-exe
# Usually stored by now; under Wine the last chunk may wait for the stop.
poll_alive vesprec-exe 10 stored_all "$PROG" ||
  echo "NOTE: VESPREC.EXE had stored $(crlf_count "$PROG/dati.txt") of $((RECORDS + 1))" \
       "line ends before the stop"
check "cannot post WM_USER+200 to VESPREC.EXE" vrtool --timeout 10000 post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec-exe "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "VESPREC.EXE exit code" "$rc" 0

# --- The same input, the same files ---
check "the two simulators printed different text" same_file "$W/win-sim.sent" "$W/native-sim.sent"
expect_eq "records printed" "$(crlf_count "$W/win-sim.sent")" "$RECORDS"
for f in "${FILES[@]}"; do
  check "$f of VESPREC.EXE differs from vesprec's (cmp: $(cmp "$PROG/$f" "$NATIVE/$f" 2>&1))" \
    same_file "$PROG/$f" "$NATIVE/$f"
  check "$f of VESPREC.EXE differs from the model of what the exchange printed" \
    same_file "$PROG/$f" "$W/expected.txt"
done
expect_eq "FlagCRLF written back" "$(ini_value "$PROG/VESPREC.INI" FlagCRLF)" \
  "$(ini_value "$NATIVE/VESPREC.INI" FlagCRLF)"
for log in "$PROG/vrec.log" "$NATIVE/vrec.log"; do
  expect_eq "start lines in $log" "$(count_of "$START_LINE" "$log")" 1
  expect_eq "close lines in $log" "$(count_of "$CLOSE_LINE" "$log")" 1
done
echo "PASSED: VESPREC.EXE and vesprec stored the same $RECORDS records byte for byte"
