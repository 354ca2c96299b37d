#!/usr/bin/env bash
# VESPREC.EXE with an AVAYA site and no DevLink.dll: a box without owner
# window, captioned "Corvina Vesper Recorder", says "DevLink.dll is
# missing."; nothing is logged for it, and the site is left off.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly TEXT="DevLink.dll is missing."

site_defaults "$(winpath "$PROG")" '\'
KEY[Dispositivo]=AVAYA
KEY[IndirizzoIP]="127.0.0.1:9"
KEY[Password]=segreta
SITE_KEYS+=(IndirizzoIP Password)
write_ini "$PROG/VESPREC.INI" AVAYA2 "$(winpath "$PROG/vrec.log")"
rm -f "$PROG/DevLink.dll"
start_recorder vesprec

box="$(vrtool --timeout $((START_DEADLINE * 1000)) wait-box "" "$TEXT")" ||
  fail "no box saying $TEXT"
IFS=$'\t' read -r handle owner caption text <<<"$box"
expect_eq "the box's text" "$text" "$TEXT"
expect_eq "the box's caption" "$caption" "Corvina Vesper Recorder"
expect_eq "the box's owner" "$owner" "0x0"
check "cannot press the box's OK button" vrtool close-box "$handle"
check "the box did not close" vrtool --timeout 20000 wait-gone "$handle"
# The site is off now: the box does not come back.
sleep 3
expect_eq "boxes after the first" "$(vrtool count-boxes "" "$TEXT")" 0

check "cannot post WM_USER+200" vrtool --timeout 10000 post "$QUIT_MESSAGE"
status="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$status" 0
# Only the start and the close: the box went to no report.
expect_eq "log lines" "$(grep -c "[[:alnum:]]" "$PROG/vrec.log")" 2
echo "PASSED: the missing library's box, without owner, once"
