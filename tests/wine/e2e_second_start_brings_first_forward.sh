#!/usr/bin/env bash
# A second start of VESPREC.EXE for the same port while the first runs: the
# second writes its start and close lines to the log, shows the first one's
# window and brings it to the foreground, and ends with exit code 0; the
# first runs on, with its one window.
#
# Under Xvfb there is no window manager; Wine keeps the foreground itself.
# To see the first window come forward, vrtool first puts a window of its
# own in front and the first window is hidden (as the user's close button
# does); after the second start the first window must be visible again and,
# when Wine gave the foreground to vrtool's window at all, be the foreground.
source "$(dirname "$0")/wine_e2e_lib.sh"

start_sim sim exchange --records 0 --rate 5 --seed 3
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder first
vrtool --timeout $((START_DEADLINE * 1000)) find >"$W/first-window.txt" ||
  fail "the first instance shows no VRecClass window"
first_window="$(cat "$W/first-window.txt")"
check "the first window is not visible" vrtool --timeout 10000 wait-visible 1
vrtool --timeout 10000 find-child COM7 >/dev/null ||
  fail "the first instance has no worker window COM7"
started() { [ "$(count_of "$START_LINE" "$PROG/vrec.log")" -ge 1 ]; }
poll_alive first "$START_DEADLINE" started || fail "the first instance logged no start line"

check "cannot hide the first window" vrtool show 0  # SW_HIDE
check "the first window stays visible after SW_HIDE" vrtool --timeout 10000 wait-visible 0

# vrtool's own window in front, for the rest of the test.
start_process holder "$WINE_RUN" --prefix="$PREFIX" "$VR_VRTOOL_EXE" hold-foreground 600000
foreground_known=0
if poll 30 grep -q . "$W/holder.out"; then
  holder_window="$(head -n 1 "$W/holder.out")"
  fg="$(vrtool foreground)"
  [ "${fg%%$'\t'*}" = "$holder_window" ] && foreground_known=1
fi
[ "$foreground_known" -eq 1 ] ||
  echo "NOTE: Wine gave vrtool's window no foreground; only the showing is checked"

start_recorder second
rc="$(wait_recorder second "$STOP_DEADLINE")" || fail "the second instance did not end"
expect_eq "the second instance's exit code" "$rc" 0
expect_eq "start lines" "$(count_of "$START_LINE" "$PROG/vrec.log")" 2
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1

recorder_ended first && fail "the first instance ended with the second"
check "the second start did not show the first window" vrtool --timeout 10000 wait-visible 1
expect_eq "the first instance's window" "$(vrtool find)" "$first_window"
expect_eq "VRecClass windows of the program" "$(vrtool count)" 1
if [ "$foreground_known" -eq 1 ]; then
  fg="$(vrtool foreground)"
  expect_eq "the foreground window after the second start" "${fg%%$'\t'*}" "$first_window"
fi

check "cannot post WM_USER+200 to the first instance" vrtool post "$QUIT_MESSAGE"
rc="$(wait_recorder first "$STOP_DEADLINE")" || fail "the first instance did not end on WM_USER+200"
expect_eq "the first instance's exit code" "$rc" 0
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 2
echo "PASSED: the second start showed the first window$([ "$foreground_known" -eq 1 ] &&
  echo " and brought it to the foreground") and ended"
