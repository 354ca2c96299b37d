#!/usr/bin/env bash
# VESPREC.EXE in a program folder whose name the ANSI code page spells
# differently from UTF-8 ("Contabilità\Vesper"), with its VESPREC.INI, log
# and data files there, records from vesper-sim on COM7:
#   - the program reads its VESPREC.INI, writes its service log, its error
#     log and its data files in that folder;
#   - "&Configura..." (40012) with no VRECCFG.EXE beside it writes the log
#     line that says so, with the folder's name in the log's character set
#     (Windows-1252), not as UTF-8 bytes;
#   - once VRECCFG.EXE is there, "&Configura..." runs it: its "editor"
#     (vrtool copy-file) renames the site's data files, the file is read
#     again from the same folder, and the site's next connection stores into
#     the new files.
#
# Wine names a Unix file for Windows in the Unix code page of its locale:
# under LC_ALL=C.UTF-8 the folder's UTF-8 name is "Contabilità" for the
# program too, and the values written into VESPREC.INI (UTF-8) name it.
# The ANSI code page stays Windows-1252, where "à" is one byte.
if ! locale -a 2>/dev/null | grep -qi '^c\.utf-\?8$'; then
  echo "SKIPPED: no C.UTF-8 locale, which Wine needs to map the folder's name"
  exit 77
fi
export LC_ALL=C.UTF-8
PROG_FOLDER="Contabilità/Vesper"
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly SERVICE_LINE="CCorvinaServiceNT"
[ -f "${VR_VRECCFG_EXE:-}" ] || { echo "no VRECCFG.EXE at ${VR_VRECCFG_EXE:-?}" >&2; exit 2; }

command_() { check "cannot post WM_COMMAND $1" vrtool --timeout 10000 post 273 "$1"; }  # WM_COMMAND
records_in() { crlf_count "$PROG/$1"; }
more_than() { [ "$(records_in "$1")" -gt "$2" ]; }  # FILE N
log_has() { [ "$(count_of "$1" "$PROG/vrec.log")" -ge "$2" ]; }  # TEXT N
# TEXT in Windows-1252, as the log holds it.
in_log_charset() { perl -MEncode -e 'print encode("cp1252", decode("UTF-8", $ARGV[0]))' "$1"; }

start_sim sim exchange --records 0 --rate 10 --seed 9
link_com7 "$SIM_PTY"
write_windows_ini
case "$(cat "$PROG/VESPREC.INI")" in
  *'Contabilità\Vesper\dati.txt'*) ;;
  *) fail "VESPREC.INI does not name the data file in the folder Contabilità" ;;
esac
# What "the editor" makes of the file: the site's data files renamed.
KEY[Dati]="$(winpath "$PROG")\\second.txt"
KEY[Dati2]="$(winpath "$PROG")\\second2.txt"
KEY[Storico]="$(winpath "$PROG")\\second3.txt"
write_ini "$W/edited.ini" COM7 "$(winpath "$PROG/vrec.log")"
export EDITOR="$(winpath "$VR_VRTOOL_EXE") copy-file $(winpath "$W/edited.ini")"

start_recorder vesprec
vrtool --timeout $((START_DEADLINE * 1000)) find >/dev/null ||
  fail "no VRecClass window appeared"

# --- Configuration, logs and data files in the folder ---
poll_alive vesprec "$RECEIVE_DEADLINE" more_than dati.txt 5 ||
  fail "no records stored in $PROG/dati.txt ($(records_in dati.txt) line ends)"
poll_alive vesprec "$START_DEADLINE" log_has "$START_LINE" 1 ||
  fail "no start line in $PROG/vrec.log"
[ "$(count_of "$SERVICE_LINE" "$PROG/CorvinaServiceNT.log")" -ge 1 ] ||
  fail "no service log line in $PROG/CorvinaServiceNT.log"

# --- Configura without the configuration program: the log says so ---
config_win="$(winpath "$PROG")\\VRECCFG.EXE"
expected_line="$(in_log_charset "Impossibile avviare $config_win: ")"
failure_logged() { grep -q -F -- "$expected_line" "$PROG/vrec.log"; }
command_ 40012
poll_alive vesprec 30 failure_logged ||
  fail "no log line in Windows-1252 saying that $config_win could not be started"

# --- Configura with the configuration program beside VESPREC.EXE ---
cp "$VR_VRECCFG_EXE" "$PROG/VRECCFG.EXE"
command_ 40012
poll_alive vesprec 30 grep -q -F 'Vesper\second.txt' "$PROG/VESPREC.INI" ||
  fail "VRECCFG.EXE did not run its editor on $PROG/VESPREC.INI"
# Once VRECCFG.EXE has ended, the file is read again from the folder: the
# connection ends and the site's next one stores into the renamed files.
poll_alive vesprec "$RECEIVE_DEADLINE" more_than second.txt 5 ||
  fail "after Configura the site did not store into the data file that the edited" \
       "VESPREC.INI names ($(records_in second.txt) line ends)"
expect_eq "VRECCFG.EXE boxes" "$(vrtool --exe "$(winpath "$PROG/VRECCFG.EXE")" count-boxes "" "")" 0

# --- The orderly stop ---
check "cannot post the quit message" vrtool --timeout 10000 post "$QUIT_MESSAGE"
rc="$(wait_recorder vesprec "$STOP_DEADLINE")" || fail "VESPREC.EXE did not end"
expect_eq "exit code" "$rc" 0
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$PROG/vrec.log")" 1
echo "PASSED: VESPREC.EXE in $PROG read its VESPREC.INI, wrote its logs and data files" \
     "there, logged a missing VRECCFG.EXE in Windows-1252 and ran the one beside it"
