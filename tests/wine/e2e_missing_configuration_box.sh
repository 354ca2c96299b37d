#!/usr/bin/env bash
# VESPREC.EXE in a folder without VESPREC.INI: it shows the stop box with
# message 5001, waits for the user to close it, and ends with exit code 0.
# The box is read and its OK button pressed from a second Windows process.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly TEXT_5001="Il file di configurazione di Vesper Recorder non è presente o è corrotto."
# Arguments cross into Wine in the locale's character set; the ASCII start
# finds the box, and the whole text is compared below.
readonly TEXT_5001_START="Il file di configurazione di Vesper Recorder non"

start_recorder vesprec
box="$(vrtool --timeout $((START_DEADLINE * 1000)) wait-box "" "$TEXT_5001_START")" ||
  fail "no box with message 5001 appeared"
IFS=$'\t' read -r handle owner caption text <<<"$box"
expect_eq "the box's text" "$text" "$TEXT_5001"
expect_eq "the box's owner" "$owner" 0x0
case "$caption" in
  "Vesper Recorder"*) ;;
  *) fail "the box's caption [$caption] is not the program's window title" ;;
esac
# A message box: it has the OK button to press.
vrtool --class "#32770" children | grep -q "	Button	visible	1	OK$" ||
  fail "the box has no visible OK button (item 1)"
# The box holds the program until it is closed.
sleep 1
recorder_ended vesprec && fail "VESPREC.EXE ended before its box was closed"
expect_eq "VRecClass windows while the box is up" "$(vrtool count)" 0

check "cannot press the box's OK button" vrtool close-box "$handle"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end after its box was closed"
expect_eq "exit code" "$rc" 0
# The program reads its configuration; it never makes one up.
[ -e "$PROG/VESPREC.INI" ] && fail "a VESPREC.INI appeared"
echo "PASSED: missing configuration: box 5001, closed, exit code 0"
