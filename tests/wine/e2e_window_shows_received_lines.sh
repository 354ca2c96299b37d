#!/usr/bin/env bash
# What another process sees of a running VESPREC.EXE: a visible top-level
# window of class VRecClass titled after the port, with a hidden child window
# whose text is the port (by which a second instance finds the first); its
# text box (dialog item 13, read with WM_GETTEXT) shows the received lines as
# they were stored, and its title counts them.
#
# The exchange keeps printing: under Wine a chunk may wait in a read until
# more records come (see wine_e2e_lib.sh). The window is compared with the
# data file at a moment when neither changes.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly RECORDS=25  # at least this many are received before the window is read
readonly WINDOW_TITLE="Vesper Recorder COM7"

start_sim sim exchange --records 0 --rate 20 --seed 77
link_com7 "$SIM_PTY"
write_windows_ini
start_recorder vesprec

vrtool --timeout $((START_DEADLINE * 1000)) find >"$W/window.txt" ||
  fail "no window of class VRecClass appeared"
title="$(vrtool title)"
case "$title" in
  "$WINDOW_TITLE" | "$WINDOW_TITLE  "*) ;;
  *) fail "title [$title] is not the window title [$WINDOW_TITLE], alone or with a count" ;;
esac
vrtool --timeout 10000 find-child COM7 >"$W/worker.txt" ||
  fail "no child window whose text is COM7"
IFS=$'\t' read -r _ _ worker_visibility <"$W/worker.txt"
expect_eq "the worker window" "$worker_visibility" hidden
check "the main window is not visible" vrtool --timeout 10000 wait-visible 1

received() { [ "$(crlf_count "$PROG/dati.txt")" -gt "$RECORDS" ]; }
poll_alive vesprec "$RECEIVE_DEADLINE" received ||
  fail "VESPREC.EXE stored $(crlf_count "$PROG/dati.txt") line ends, expected more than $RECORDS"

# The data file, the text box and the title read between two chunks: the
# box holds what was stored and the title counts its line ends (the one
# that starts the connection is the recorder's own, not received).
shows_stored() {
  cp "$PROG/dati.txt" "$W/stored.txt"
  vrtool edit-text 13 >"$W/edit.txt" || return 1
  vrtool title >"$W/title.txt" || return 1
  same_file "$PROG/dati.txt" "$W/stored.txt" && same_file "$W/edit.txt" "$W/stored.txt" &&
    [ "$(cat "$W/title.txt")" = \
      "$WINDOW_TITLE  $SITE  $(($(crlf_count "$W/stored.txt") - 1)) Linee ricevute" ]
}
poll_alive vesprec "$RECEIVE_DEADLINE" shows_stored ||
  fail "the window does not show what was stored: title [$(cat "$W/title.txt")] for" \
       "$(($(crlf_count "$W/stored.txt") - 1)) lines; text box vs data file:" \
       "$(cmp "$W/edit.txt" "$W/stored.txt" 2>&1)"
# What was stored (and so shown) is what the exchange printed, in order.
expected_data "$W/sim.sent" >"$W/expected.txt"
check "the data file is not the start of the model of what the exchange printed" \
  cmp -s -n "$(wc -c <"$W/stored.txt")" "$W/stored.txt" "$W/expected.txt"
expect_eq "the window's handle, found again" "$(vrtool find)" "$(cat "$W/window.txt")"

check "cannot post WM_USER+200" vrtool post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end on WM_USER+200"
expect_eq "exit code" "$rc" 0
echo "PASSED: the window, its worker child, its text box and its title" \
     "($(($(crlf_count "$W/stored.txt") - 1)) lines)"
