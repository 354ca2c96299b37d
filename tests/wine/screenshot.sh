#!/usr/bin/env bash
# A screenshot of VESPREC.EXE at work: on a private Xvfb display and in a
# Wine prefix of its own, the program receives records from a simulated
# exchange (the native vesper-sim on a pty, linked as COM7), and once it has
# shown some the whole screen is saved as a PNG. Wine runs as a desktop of
# its own, so the picture has window frames, a task bar and the tray with
# the recorder's icon.
#
#   tests/wine/screenshot.sh [options] OUT.png
#
#   --win64 DIR       the x86_64 Windows build (default build/win64):
#                     VESPREC.exe and tests/wine/vrtool.exe
#   --native DIR      the native build (default build/native): vesper-sim
#   --records N       records to wait for before the picture (default 12)
#   --tray-menu FILE  then stop the site ("&Interrompi"), right-click the
#                     tray icon and open "&Avvia": a second picture, of the
#                     tray menu with the sites menu
#
# Needs wine64 and Xvfb (as the test command does), xwd (Debian: x11-apps)
# and ImageMagick's convert (imagemagick). Installs nothing.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
win64="$root/build/win64"
native="$root/build/native"
records=12
out=""
menu_out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --win64) win64="$2"; shift 2 ;;
    --native) native="$2"; shift 2 ;;
    --records) records="$2"; shift 2 ;;
    --tray-menu) menu_out="$2"; shift 2 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "screenshot.sh: unknown option $1" >&2; exit 2 ;;
    *) out="$1"; shift ;;
  esac
done
[ -n "$out" ] || { echo "usage: tests/wine/screenshot.sh [options] OUT.png" >&2; exit 2; }
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
case "$menu_out" in ""|/*) ;; *) menu_out="$PWD/$menu_out" ;; esac
# Absolute: the Wine runner and the COM7 link must not depend on the
# current folder.
win64="$(cd "$win64" 2>/dev/null && pwd)" || { echo "screenshot.sh: no folder $win64" >&2; exit 1; }
native="$(cd "$native" 2>/dev/null && pwd)" || { echo "screenshot.sh: no folder $native" >&2; exit 1; }

missing=()
command -v Xvfb >/dev/null 2>&1 || missing+=("Xvfb (xvfb)")
command -v xwd >/dev/null 2>&1 || missing+=("xwd (x11-apps)")
command -v xwininfo >/dev/null 2>&1 || missing+=("xwininfo (x11-utils)")
command -v convert >/dev/null 2>&1 || missing+=("convert (imagemagick)")
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || missing+=("wine64 (wine64)")
if [ ${#missing[@]} -gt 0 ]; then
  echo "screenshot.sh: missing: ${missing[*]}" >&2
  exit 1
fi
exe="$win64/src/VESPREC.exe"
vrtool="$win64/tests/wine/vrtool.exe"
sim="$native/tools/vesper-sim"
for f in "$exe" "$vrtool" "$sim"; do
  [ -e "$f" ] || { echo "screenshot.sh: $f is missing: build it first (scripts/test.sh)" >&2; exit 1; }
done

wine_run="$root/cmake/wine-run.sh"
# A prefix of its own: its Wine session then draws on this script's display.
prefix="$win64/screenshot-wineprefix"
work="$(mktemp -d "${TMPDIR:-/tmp}/vesprec-screenshot.XXXXXX")"
xvfb_pid=""
sim_pid=""
rec_pid=""

cleanup() {
  local pid
  for pid in "$rec_pid" "$sim_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  "$wine_run" --prefix="$prefix" --kill >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# poll SECONDS COMMAND...
poll() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.3
  done
}

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
poll 10 test -s "$work/display" || { echo "screenshot.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
# This prefix and no other, whatever the caller's environment says.
export VR_WINEPREFIX="$prefix"
echo "Xvfb on $DISPLAY; Wine prefix $prefix"
"$wine_run" --prefix="$prefix" --boot || { echo "screenshot.sh: Wine prefix failed" >&2; exit 1; }
# Every program of the prefix on one Wine desktop of the screen's size: it
# draws the frames, the task bar and the tray that Xvfb alone lacks.
"$wine_run" --prefix="$prefix" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
  >/dev/null 2>&1 &&
  "$wine_run" --prefix="$prefix" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
    /d 1280x1024 /f >/dev/null 2>&1 &&
  "$wine_run" --prefix="$prefix" --kill && "$wine_run" --prefix="$prefix" --boot ||
  { echo "screenshot.sh: the Wine desktop could not be set up" >&2; exit 1; }

"$sim" exchange --records 0 --rate 4 </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
poll 20 grep -q . "$work/sim.out" || { echo "screenshot.sh: vesper-sim did not start" >&2; exit 1; }
ln -sfn "$(head -n 1 "$work/sim.out")" "$prefix/dosdevices/com7"

prog="$work/prog"
mkdir -p "$prog"
cp "$exe" "$prog/VESPREC.EXE"
dir="Z:${prog//\//\\}"
site() {  # NAME ENABLED: a continuous site on COM7 with files of its own
  printf '%s\r\n' "[$1]" "Ogni=3600" \
    "SitoAbilitato=$2" "Ricorrenza=0" "Ora=10.00 01-01-2010p" "Dispositivo=COM" \
    "Dati=$dir\\dati$1.txt" "Dati2=$dir\\dati2$1.txt" "Storico=$dir\\storico$1.txt" \
    "AggData=1" "AggOra=1" "EliminaNull=0" "CorreggiCR=1" "FlagCRLF=0" "Importazione=2" \
    "STimeRead=10" "STimeWrite=10" "MTimeRead=10" "MTimeWrite=10" "FileTimeout=60" \
    "SpazioTimeout=0" "Modem=0" "Baud=9600" "BitDati=8" "Parita=N" "Stop=1" "Handshake=XON" \
    "Xon=17" "Xoff=19" "TimeoutFineImp=2"
}
# A second site, switched off, for the sites menu.
{
  printf '%s\r\n' "[General]" "Com=COM7" "Log=$dir\\vrec.log"
  site 0001 1
  site 0002 0
} >"$prog/VESPREC.INI"

"$wine_run" --prefix="$prefix" "$prog/VESPREC.EXE" </dev/null >"$work/vesprec.out" 2>&1 &
rec_pid=$!
vrtool() { "$wine_run" --prefix="$prefix" "$vrtool" --exe "$dir\\VESPREC.EXE" "$@" </dev/null 2>/dev/null; }

# The title counts the lines shown: "... N Linee ricevute".
shown() {
  local title n
  title="$(vrtool title)" || return 1
  n="$(sed -n 's/.*  \([0-9][0-9]*\) Linee ricevute$/\1/p' <<<"$title")"
  [ -n "$n" ] && [ "$n" -ge "$records" ]
}
if ! poll 120 shown; then
  echo "screenshot.sh: VESPREC.EXE did not show $records lines; title [$(vrtool title)]" >&2
  exit 1
fi
echo "VESPREC.EXE shows: $(vrtool title)"
if ! xwd -root -silent -display "$DISPLAY" | convert xwd:- "PNG:$out"; then
  echo "screenshot.sh: the screenshot failed" >&2
  exit 1
fi
echo "wrote $out"

# Menus are windows of their own that xwd -root leaves black: each window
# of the program on the Wine desktop is laid over the screen's picture.
screen_with_menus() {  # OUT
  local layers=() id geometry x y n=0
  xwd -root -silent -display "$DISPLAY" | convert xwd:- "$work/screen.png" || return 1
  while read -r id geometry; do
    x="$(cut -d+ -f2 <<<"$geometry")"
    y="$(cut -d+ -f3 <<<"$geometry")"
    n=$((n + 1))
    xwd -id "$id" -silent -display "$DISPLAY" | convert xwd:- "$work/menu$n.png" || return 1
    layers+=("$work/menu$n.png" -geometry "+$x+$y" -composite)
  done < <(xwininfo -root -tree -display "$DISPLAY" |
           sed -n 's/^ *\(0x[0-9a-f]*\) (has no name): ("vesprec.exe".*  \([0-9]*x[0-9]*+[0-9]*+[0-9]*\)  .*/\1 \2/p' |
           grep -v ' 1x1+')
  convert "$work/screen.png" "${layers[@]}" "PNG:$1"
}

if [ -n "$menu_out" ]; then
  vrtool post 273 40016  # WM_COMMAND "&Interrompi": "&Avvia" is enabled again
  sleep 2
  # The cursor on the tray at the bottom right, as a user's click leaves it.
  vrtool cursor 1268 1014
  vrtool post 1025 0 517  # the tray's WM_USER+1 with WM_RBUTTONUP: the menu
  sleep 1
  # Off the icon, or its tip would cover the menu's last item.
  vrtool cursor 900 700
  # The menu's loop takes the keys: down to "&Avvia", right opens the sites.
  vrtool post 256 40 0
  vrtool post 256 40 0
  vrtool post 256 39 0
  sleep 2
  screen_with_menus "$menu_out" || { echo "screenshot.sh: the menu's picture failed" >&2; exit 1; }
  echo "wrote $menu_out"
  vrtool post 256 27 0  # Escape, twice: the menus close
  vrtool post 256 27 0
  sleep 1
fi

vrtool post 1224 # WM_USER+200: the orderly stop
no_window() { ! vrtool find >/dev/null; }
poll 30 no_window && wait "$rec_pid" && rec_pid=""
exit 0
