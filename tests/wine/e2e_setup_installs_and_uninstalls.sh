#!/usr/bin/env bash
# The setup program, silent, in a Wine prefix of its own (a service manager
# that nothing else has used): /STARTUP /INI= installs the programs into
# Program Files with the given VESPREC.INI, the Start-menu folder, the
# Startup shortcut and the "Apps and features" entry; a second run with
# /SERVICE upgrades in place, keeps VESPREC.INI and registers
# VesperRecorder_COM7; the installed program, started by the service
# manager, records from vesper-sim on COM7 byte for byte as vesprec stores;
# the silent uninstaller removes the programs, the menu, the entry and the
# service and leaves VESPREC.INI, the log and the data files as they were.
# All in one Wine session: a holder window keeps it (Wine ends its services
# with the session's last program).
#
# CTest passes VR_SETUP_EXE (empty when the build found no makensis) and
# VR_PROJECT_VERSION besides what wine_e2e_lib.sh takes.

if ! command -v makensis >/dev/null 2>&1 || [ -z "${VR_SETUP_EXE:-}" ]; then
  echo "SKIPPED: makensis is not installed (Debian: nsis), so the build made no setup program"
  exit 77
fi
if [ ! -f "$VR_SETUP_EXE" ]; then
  echo "SKIPPED: no setup program at $VR_SETUP_EXE: build the target vesprec_setup"
  exit 77
fi
# A prefix of this test's own, made afresh with its folder.
[ -n "${VR_TEST_WORK_DIR:-}" ] && export VR_WINEPREFIX="$VR_TEST_WORK_DIR/wineprefix"
source "$(dirname "$0")/wine_e2e_lib.sh"

readonly SERVICE=VesperRecorder_COM7
readonly RECORDS=20
readonly FILES=(dati.txt dati2.txt storico.txt)
readonly UNINST_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VesperRecorder'
readonly INSTALL_WIN='C:\Program Files\Vesper Recorder'
INST="$PREFIX/drive_c/Program Files/Vesper Recorder"
MENU="$PREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vesper Recorder"
STARTUP_LINK="$PREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/StartUp/Vesper Recorder.lnk"
# vrtool looks at the installed program's windows.
EXE_WIN="$INSTALL_WIN\\VESPREC.EXE"

# The prefix's server ends before the folder holding the prefix goes.
trap 'status=$?; "$WINE_RUN" --prefix="$PREFIX" --kill >/dev/null 2>&1; (exit $status); cleanup' EXIT

wine_cmd() {  # NAME PROGRAM ARGS...: runs it to its end; output in $W/NAME.out, status printed
  local name="$1"
  shift
  "$WINE_RUN" --prefix="$PREFIX" "$@" </dev/null >"$W/$name.out" 2>"$W/$name.err"
  echo $?
}
sc_query() { "$WINE_RUN" --prefix="$PREFIX" sc query "$SERVICE" </dev/null 2>/dev/null | tr -d '\r'; }
state_is() { sc_query | grep -q "STATE *: *[0-9]* *$1"; }
service_exists() { sc_query | grep -q "SERVICE_NAME: *$SERVICE"; }
reg_value() {  # NAME: the value of the uninstall entry, as reg prints it
  "$WINE_RUN" --prefix="$PREFIX" reg query "$UNINST_KEY" /v "$1" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
entry_exists() { "$WINE_RUN" --prefix="$PREFIX" reg query "$UNINST_KEY" </dev/null >/dev/null 2>&1; }

start_sim sim exchange --records 0 --rate 20 --seed 11 --lost "$W/lost.txt"
link_com7 "$SIM_PTY"
start_process holder "$WINE_RUN" --prefix="$PREFIX" "$VR_VRTOOL_EXE" hold-foreground 900000

# The configuration that an installer hands to many PCs: data files and log
# in the program folder.
site_defaults "$INSTALL_WIN" '\'
write_ini "$W/VESPREC.INI" COM7 "$INSTALL_WIN\\vrec.log"

# --- A new installation, started at log-on ---
rc="$(wine_cmd setup1 "$VR_SETUP_EXE" /S /STARTUP "/INI=$(winpath "$W/VESPREC.INI")")"
expect_eq "exit code of the silent setup /STARTUP" "$rc" 0
for f in VESPREC.EXE VRECCFG.EXE LEGGIMI.TXT uninst.exe; do
  [ -f "$INST/$f" ] || fail "the setup did not install $f into $INSTALL_WIN"
done
check "the installed VESPREC.EXE is not the one built" cmp -s "$INST/VESPREC.EXE" "$VR_VESPREC_EXE"
check "VESPREC.INI is not the one /INI= gave" cmp -s "$INST/VESPREC.INI" "$W/VESPREC.INI"
for f in "Vesper Recorder" "Configure (VESPREC.INI)" "Log" "Read me (LEGGIMI)" "Uninstall"; do
  [ -f "$MENU/$f.lnk" ] || fail "no Start-menu shortcut [$f]: $(ls "$MENU" 2>&1)"
done
[ -f "$STARTUP_LINK" ] || fail "/STARTUP made no shortcut in the Startup folder"
service_exists && fail "/STARTUP registered a service: $(sc_query)"
expect_eq "DisplayVersion" "$(reg_value DisplayVersion)" "$VR_PROJECT_VERSION"
expect_eq "DisplayName" "$(reg_value DisplayName)" "Vesper Recorder (64 bit)"
expect_eq "Publisher" "$(reg_value Publisher)" "Vesper Recorder"
expect_eq "InstallLocation" "$(reg_value InstallLocation)" "$INSTALL_WIN"
expect_eq "UninstallString" "$(reg_value UninstallString)" "\"$INSTALL_WIN\\uninst.exe\""
expect_eq "QuietUninstallString" "$(reg_value QuietUninstallString)" "\"$INSTALL_WIN\\uninst.exe\" /S"
expect_eq "NoModify" "$(reg_value NoModify)" 0x1
expect_eq "NoRepair" "$(reg_value NoRepair)" 0x1
size="$(reg_value EstimatedSize)"
# In KB: at least the two programs.
programs_kb=$(( ($(stat -c %s "$INST/VESPREC.EXE") + $(stat -c %s "$INST/VRECCFG.EXE")) / 1024 ))
[ -n "$size" ] && [ $((size)) -ge "$programs_kb" ] ||
  fail "EstimatedSize [$size] is below the programs' $programs_kb KB"

# --- The upgrade to the service: the folder's VESPREC.INI stays ---
cp "$INST/VESPREC.INI" "$W/ini.before"
rc="$(wine_cmd setup2 "$VR_SETUP_EXE" /S /SERVICE)"
expect_eq "exit code of the silent setup /SERVICE" "$rc" 0
check "the upgrade changed VESPREC.INI" cmp -s "$INST/VESPREC.INI" "$W/ini.before"
[ -f "$STARTUP_LINK" ] && fail "the Startup shortcut is left beside the service"
service_exists || fail "/SERVICE registered no $SERVICE: $(sc_query)"
# Wine's sc has no qc: the service's command line from its registry key.
"$WINE_RUN" --prefix="$PREFIX" reg query "HKLM\\System\\CurrentControlSet\\Services\\$SERVICE" \
  /v ImagePath </dev/null 2>/dev/null | tr -d '\r' >"$W/image.out"
grep -q -F "$INSTALL_WIN\\VESPREC.EXE" "$W/image.out" && grep -q -F "/Servizio" "$W/image.out" ||
  fail "the service does not run the installed program: $(cat "$W/image.out")"
expect_eq "VesperMode" "$(reg_value VesperMode)" service

# --- The installed program records ---
rc="$(wine_cmd start sc start "$SERVICE")"
expect_eq "exit code of sc start" "$rc" 0
stored() { crlf_count "$INST/dati.txt"; }
received() { [ "$(stored)" -gt "$RECORDS" ]; }
poll "$RECEIVE_DEADLINE" received || fail "the service stored $(stored) line ends, expected more than $RECORDS"
state_is RUNNING || fail "sc query does not say running: $(sc_query)"
rc="$(wine_cmd stop sc stop "$SERVICE")"
expect_eq "exit code of sc stop" "$rc" 0
poll "$STOP_DEADLINE" state_is STOPPED || fail "the service did not stop: $(sc_query)"
poll 30 grep -q '^gone ' "$W/lost.txt" || fail "vesper-sim did not see the line closed"
stop_sims
grep -q '^end ' "$W/lost.txt" || fail "vesper-sim did not finish its account of the line"
field() { awk -v w="$1" -v n="$2" '$1 == w { print $n }' "$W/lost.txt"; }
expect_eq "readers that came" "$(field back 1 | wc -l | tr -d ' ')" 1
expect_eq "bytes of unknown fate" "$(field unsure 2)" ""
from="$(field back 2)"
to="$(field gone 2)"
expected_data "$W/sim.sent" "$from" "$to" >"$W/expected.txt"
for f in "${FILES[@]}"; do
  check "$f does not hold exactly the bytes $from..$to that the installed program took from the line" \
    same_file "$INST/$f" "$W/expected.txt"
done
expect_eq "close lines" "$(count_of "$CLOSE_LINE" "$INST/vrec.log")" 1

# --- The silent uninstaller ---
mkdir -p "$W/kept"
for f in VESPREC.INI vrec.log "${FILES[@]}"; do cp "$INST/$f" "$W/kept/$f"; done
rc="$(wine_cmd uninstall "$INST/uninst.exe" /S)"
expect_eq "exit code of the silent uninstaller" "$rc" 0
# It goes on from a copy of itself in the temporary folder: its end is the
# entry gone, the last thing it does.
poll "$STOP_DEADLINE" bash -c '! "$0" --prefix="$1" reg query "$2" </dev/null >/dev/null 2>&1' \
  "$WINE_RUN" "$PREFIX" "$UNINST_KEY" || fail "the uninstaller left the Apps and features entry"
service_exists && fail "the uninstaller left the service: $(sc_query)"
for f in VESPREC.EXE VRECCFG.EXE LEGGIMI.TXT uninst.exe; do
  [ -e "$INST/$f" ] && fail "the uninstaller left $f"
done
[ -e "$MENU" ] && fail "the uninstaller left the Start-menu folder: $(ls "$MENU")"
for f in VESPREC.INI vrec.log "${FILES[@]}"; do
  check "the uninstaller did not leave $f as it was" cmp -s "$INST/$f" "$W/kept/$f"
done
echo "PASSED: installed, upgraded to the service, recorded bytes $from..$to, uninstalled"
