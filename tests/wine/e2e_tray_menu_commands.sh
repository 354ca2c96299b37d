#!/usr/bin/env bash
# The tray menu's commands, posted to VESPREC.EXE's main window as WM_COMMAND
# by another process, as the menu itself posts the chosen item:
#   - a site of the sites menu (40500) starts that site, which sits switched
#     off until then: its connection opens and its data file fills;
#   - "&Interrompi" (40016) ends the connection, and the continuous site
#     stays off;
#   - "&Configura..." (40012) runs VRECCFG.EXE beside the program, whose
#     "editor" (EDITOR: vrtool copy-file) adds a second site to VESPREC.INI;
#     once it has ended the file is read again, and the new site's item
#     (40501) starts the new site;
#   - "In&formazioni" (40011) opens the About box, a second time nothing more;
#   - "&Esci" (40008) asks first: Cancel changes nothing, OK ends the program
#     in order.
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly QUIT_QUESTION="La chiusura interrompe la ricezione dei caratteri, chiudere ugualmente?"
readonly WINDOW_TITLE="Vesper Recorder COM7"
readonly ABOUT_TEXT="Vesper Recorder (ver. 5.0.2)"
readonly SECOND=0002
[ -f "${VR_VRECCFG_EXE:-}" ] || { echo "no VRECCFG.EXE at ${VR_VRECCFG_EXE:-?}" >&2; exit 2; }
cp "$VR_VRECCFG_EXE" "$PROG/VRECCFG.EXE"

command_() { check "cannot post WM_COMMAND $1" vrtool --timeout 10000 post 273 "$1"; }  # WM_COMMAND
records_in() { crlf_count "$PROG/$1"; }
more_than() { [ "$(records_in "$1")" -gt "$2" ]; }  # FILE N
log_has() { [ "$(count_of "$1" "$PROG/vrec.log")" -ge "$2" ]; }  # TEXT N

start_sim sim exchange --records 0 --rate 10 --seed 3
link_com7 "$SIM_PTY"
# The site is switched off: nothing runs until it is chosen in the menu.
switched_off() { KEY[SitoAbilitato]=0; }
write_windows_ini switched_off
# What "the editor" makes of the file: the same, and a second site with
# data files of its own.
cp "$PROG/VESPREC.INI" "$W/edited.ini"
KEY[Dati]="$(winpath "$PROG")\\second.txt"
KEY[Dati2]="$(winpath "$PROG")\\second2.txt"
KEY[Storico]="$(winpath "$PROG")\\second3.txt"
append_site "$W/edited.ini" "$SECOND"
export EDITOR="$(winpath "$VR_VRTOOL_EXE") copy-file $(winpath "$W/edited.ini")"

start_recorder vesprec
vrtool --timeout $((START_DEADLINE * 1000)) find >/dev/null || fail "no VRecClass window appeared"
sleep 2
expect_eq "line ends stored before a site was chosen" "$(records_in dati.txt)" 0

# --- A site of the sites menu ---
command_ 40500
poll_alive vesprec "$RECEIVE_DEADLINE" more_than dati.txt 5 ||
  fail "choosing site $SITE stored no records ($(records_in dati.txt) line ends)"

# --- Interrompi ---
command_ 40016
poll_alive vesprec "$STOP_DEADLINE" log_has "$PORT_CLOSED_LINE" 1 ||
  fail "Interrompi did not close the connection"
stored="$(records_in dati.txt)"
sleep 3
expect_eq "line ends stored after Interrompi" "$(records_in dati.txt)" "$stored"
expect_eq "connections closed by Interrompi" "$(count_of "$PORT_CLOSED_LINE" "$PROG/vrec.log")" 1

# --- Configura ---
command_ 40012
poll_alive vesprec 30 grep -q "^\[$SECOND\]" "$PROG/VESPREC.INI" ||
  fail "VRECCFG.EXE did not run its editor on VESPREC.INI"
# The reload comes once VRECCFG.EXE has checked the file and ended; until
# then the new item is not in the menu and choosing it does nothing, so it
# is chosen again until the new site runs.
second_runs() {
  more_than second.txt 5 && return 0
  command_ 40501
  return 1
}
poll_alive vesprec "$RECEIVE_DEADLINE" second_runs ||
  fail "site $SECOND, added by the configuration program, did not start from its menu item"
[ -f "$PROG/dati.txt" ] && expect_eq "line ends of site $SITE" "$(records_in dati.txt)" "$stored"
expect_eq "VRECCFG.EXE boxes" "$(vrtool --exe "$(winpath "$PROG/VRECCFG.EXE")" count-boxes "" "")" 0

# --- In&formazioni ---
command_ 40011
command_ 40011
about="$(vrtool --timeout 20000 wait-box "Informazioni" "$ABOUT_TEXT")" ||
  fail "no About box appeared"
sleep 1
expect_eq "About boxes" "$(vrtool count-boxes "Informazioni" "$ABOUT_TEXT")" 1
check "cannot press the About box's OK" vrtool close-box "$(cut -f1 <<<"$about")"
check "the About box did not close" vrtool --timeout 20000 wait-gone "$(cut -f1 <<<"$about")"

# --- Esci: Cancel, then OK ---
command_ 40008
box="$(vrtool --timeout 20000 wait-box "$WINDOW_TITLE" "$QUIT_QUESTION")" ||
  fail "Esci asked nothing"
check "cannot press Cancel" vrtool press "$(cut -f1 <<<"$box")" 2
check "the question did not close" vrtool --timeout 20000 wait-gone "$(cut -f1 <<<"$box")"
sleep 2
recorder_ended vesprec && fail "VESPREC.EXE ended although Esci was cancelled"
records="$(records_in second.txt)"
poll_alive vesprec 20 more_than second.txt "$records" ||
  fail "records stopped coming after Esci was cancelled"

command_ 40008
box="$(vrtool --timeout 20000 wait-box "$WINDOW_TITLE" "$QUIT_QUESTION")" ||
  fail "Esci asked nothing the second time"
check "cannot press OK" vrtool press "$(cut -f1 <<<"$box")" 1
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end after Esci"
expect_eq "exit code" "$rc" 0
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
expect_eq "connections closed" "$(count_of "$PORT_CLOSED_LINE" "$PROG/vrec.log")" 2
echo "PASSED: site started and stopped from the menu, a site added by VRECCFG.EXE started," \
     "one About box, Esci cancelled and confirmed"
