#!/usr/bin/env bash
# Screenshots of the setup program: on a private Xvfb display and in a Wine
# prefix of its own (one Wine desktop of the screen's size: frames and task
# bar), the setup of the Windows build is started as a user starts it; its
# first page is saved as a PNG, then Next is pressed twice (the folder page,
# then the choices page) and the choices page is saved. The setup is then
# ended with its prefix: nothing is installed anywhere else.
#
#   tests/wine/setup-screenshot.sh [--win64 DIR] [--lang it|en] WELCOME.png CHOICES.png
#
#   --win64 DIR   the x86_64 Windows build (default build/win64), with the
#                 setup program (target vesprec_setup) and tests/wine/vrtool.exe
#   --lang        the Windows language the setup sees (default en; it needs
#                 the it_IT.UTF-8 locale on this system)
#
# Needs wine64, Xvfb, xwd (x11-apps) and ImageMagick's convert (imagemagick).
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
win64="$root/build/win64"
lang=en
outs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --win64) win64="$2"; shift 2 ;;
    --lang) lang="$2"; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "setup-screenshot.sh: unknown option $1" >&2; exit 2 ;;
    *) case "$1" in /*) outs+=("$1") ;; *) outs+=("$PWD/$1") ;; esac; shift ;;
  esac
done
[ ${#outs[@]} -eq 2 ] || { echo "usage: tests/wine/setup-screenshot.sh [options] WELCOME.png CHOICES.png" >&2; exit 2; }
case "$lang" in
  en) locale=C.UTF-8 ;;
  it) locale=it_IT.UTF-8 ;;
  *) echo "setup-screenshot.sh: --lang it or en" >&2; exit 2 ;;
esac
win64="$(cd "$win64" 2>/dev/null && pwd)" || { echo "setup-screenshot.sh: no folder $win64" >&2; exit 1; }

missing=()
command -v Xvfb >/dev/null 2>&1 || missing+=("Xvfb (xvfb)")
command -v xwd >/dev/null 2>&1 || missing+=("xwd (x11-apps)")
command -v convert >/dev/null 2>&1 || missing+=("convert (imagemagick)")
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-screenshot.sh: missing: ${missing[*]}" >&2
  exit 1
fi
setup="$(ls "$win64"/packaging/windows/vesper-recorder-*-win64-setup.exe 2>/dev/null | head -n 1)"
vrtool="$win64/tests/wine/vrtool.exe"
for f in "$setup" "$vrtool"; do
  [ -n "$f" ] && [ -e "$f" ] ||
    { echo "setup-screenshot.sh: no setup program or vrtool.exe in $win64: build vesprec_setup and vrtool" >&2; exit 1; }
done

wine_run="$root/cmake/wine-run.sh"
prefix="$win64/setup-screenshot-wineprefix"
work="$(mktemp -d "${TMPDIR:-/tmp}/vesprec-setup-shot.XXXXXX")"
xvfb_pid=""
setup_pid=""
cleanup() {
  "$wine_run" --prefix="$prefix" --kill >/dev/null 2>&1
  [ -n "$setup_pid" ] && kill "$setup_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

poll() {  # SECONDS COMMAND...
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.3
  done
}

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
poll 10 test -s "$work/display" || { echo "setup-screenshot.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
export VR_WINEPREFIX="$prefix"
export LC_ALL="$locale"
# A fresh prefix each time: no earlier installation changes the pages.
"$wine_run" --prefix="$prefix" --kill >/dev/null 2>&1
rm -rf "$prefix"
echo "Xvfb on $DISPLAY; Wine prefix $prefix"
"$wine_run" --prefix="$prefix" --boot || { echo "setup-screenshot.sh: Wine prefix failed" >&2; exit 1; }
"$wine_run" --prefix="$prefix" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
  >/dev/null 2>&1 &&
  "$wine_run" --prefix="$prefix" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
    /d 1280x1024 /f >/dev/null 2>&1 &&
  "$wine_run" --prefix="$prefix" --kill && "$wine_run" --prefix="$prefix" --boot ||
  { echo "setup-screenshot.sh: the Wine desktop could not be set up" >&2; exit 1; }

"$wine_run" --prefix="$prefix" "$setup" </dev/null >"$work/setup.out" 2>&1 &
setup_pid=$!
# The setup's window is a dialog (#32770) of its own process.
dialog() { "$wine_run" --prefix="$prefix" "$vrtool" --class '#32770' "$@" </dev/null 2>/dev/null; }
poll 120 dialog find >"$work/handle" || { echo "setup-screenshot.sh: the setup showed no window" >&2; exit 1; }
handle="$(tr -d '\r\n' <"$work/handle")"
shot() {  # OUT
  xwd -root -silent -display "$DISPLAY" | convert xwd:- "PNG:$1" && echo "wrote $1"
}
sleep 2  # the page drawn
shot "${outs[0]}" || exit 1
dialog press "$handle" 1  # Next: the folder page
sleep 2
dialog press "$handle" 1  # Next: the choices page
sleep 2
shot "${outs[1]}" || exit 1
exit 0
