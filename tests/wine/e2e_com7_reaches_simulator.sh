#!/usr/bin/env bash
# The ground the other tests stand on: COM7 of the Wine prefix, linked to the
# pty of vesper-sim, is a COM port that a Windows program opens and reads as
# the recorder does (overlapped reads under COMMTIMEOUTS), and what it reads
# is what the simulated exchange printed, byte for byte.
source "$(dirname "$0")/wine_e2e_lib.sh"

printf 'PROVA 1 EXT 201 TRK 01 0612345678 00:01:05\nPROVA 2 EXT 202 TRK 02 0698765432 00:12:40\nPROVA 3 EXT 203 TRK 03 3401234567 01:00:00\n' >"$W/records.txt"
start_sim sim exchange --file "$W/records.txt" --rate 10
link_com7 "$SIM_PTY"
# The exchange prints each line with CR LF.
perl -pe 's/\n/\r\n/' "$W/records.txt" >"$W/expected.bin"
bytes=$(wc -c <"$W/expected.bin")

vrtool --timeout $((RECEIVE_DEADLINE * 1000)) com-read COM7 "$bytes" >"$W/read.bin" ||
  fail "vrtool read $(wc -c <"$W/read.bin") of $bytes bytes from COM7"
check "COM7 gave other bytes than the exchange printed" same_file "$W/read.bin" "$W/expected.bin"
poll 10 same_file "$W/read.bin" "$W/sim.sent" ||
  fail "COM7 gave other bytes than vesper-sim says it sent"
echo "PASSED: COM7 reads what vesper-sim prints"
