#!/usr/bin/env bash
# A warning that comes again at every pass of the site is shown in one box
# until the user closes it: here a folder stands where the main data file's
# overflow file belongs (the program folder, site code and data file name,
# "_D.TXT"), so every pass fails to prepare the data files (warning 7007).
# Over several seconds there is exactly one box with that text, owned by the
# main window and captioned with the window title; once it is closed the
# warning may come again, but never in two boxes at once.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly TEXT_7007="Attenzione. Errore nella creazione dei file di dati."
readonly WINDOW_TITLE="Vesper Recorder COM7"
readonly WATCH_SECONDS=6

start_sim sim exchange --records 0 --rate 5 --seed 5
link_com7 "$SIM_PTY"
write_windows_ini
readonly OVERFLOW="$PROG/${SITE}dati_D.TXT"
mkdir "$OVERFLOW"
start_recorder vesprec

vrtool --timeout $((START_DEADLINE * 1000)) find >"$W/window.txt" ||
  fail "no VRecClass window appeared"
main_window="$(cat "$W/window.txt")"
box="$(vrtool --timeout $((RECEIVE_DEADLINE * 1000)) wait-box "" "$TEXT_7007")" ||
  fail "no box with warning 7007 appeared"
IFS=$'\t' read -r handle owner caption text <<<"$box"
expect_eq "the box's text" "$text" "$TEXT_7007"
expect_eq "the box's owner" "$owner" "$main_window"
case "$caption" in
  "$WINDOW_TITLE"*) ;;
  *) fail "the box's caption [$caption] is not the window title [$WINDOW_TITLE]" ;;
esac

# The passes go on failing; the box stays alone.
end=$((SECONDS + WATCH_SECONDS))
samples=0
while [ "$SECONDS" -lt "$end" ]; do
  recorder_ended vesprec && fail "VESPREC.EXE ended while its warning was shown"
  count="$(vrtool count-boxes "" "$TEXT_7007")"
  expect_eq "boxes with warning 7007 (sample $samples)" "$count" 1
  vrtool boxes | grep -qF "$handle	" || fail "the first box went away by itself"
  samples=$((samples + 1))
  sleep 0.5
done

check "cannot press the box's OK button" vrtool close-box "$handle"
check "the box did not close" vrtool --timeout 20000 wait-gone "$handle"
# The warning may come back now, in one box at a time.
end=$((SECONDS + WATCH_SECONDS))
while [ "$SECONDS" -lt "$end" ]; do
  count="$(vrtool count-boxes "" "$TEXT_7007")"
  [ "$count" -le 1 ] || fail "$count boxes with warning 7007 after the first was closed"
  sleep 0.5
done
again="$(vrtool count-boxes "" "$TEXT_7007")"
echo "after closing the box, boxes with warning 7007: $again"

# The program ends in order with a box up as well: the box's own loop
# takes WM_USER+200, and the stop follows when the box is gone.
check "cannot post WM_USER+200" vrtool --timeout 10000 post "$QUIT_MESSAGE"
close_boxes() {
  local h
  for h in $(vrtool boxes | cut -f1); do vrtool close-box "$h" >/dev/null 2>&1; done
  recorder_ended vesprec
}
poll "$STOP_DEADLINE" close_boxes || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$(cat "$W/vesprec.rc")" 0
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
[ -d "$OVERFLOW" ] || fail "the folder in the overflow file's place is gone"
echo "PASSED: warning 7007 shown in one box ($samples samples), closed, and the program ended"
