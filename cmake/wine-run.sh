#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix private to the build folder.
# The toolchain file makes this the CMake cross-compiling emulator, so CTest
# runs every test of the Windows build as
#   wine-run.sh --prefix=<build>/wineprefix <program.exe> [args...]
#
# Usage:
#   wine-run.sh [--prefix=DIR] PROGRAM [ARGS...]  run a program (boots the prefix first if needed)
#   wine-run.sh [--prefix=DIR] --boot             make the prefix if needed, start a session
#   wine-run.sh [--prefix=DIR] --kill             end the prefix's wineserver and its programs
#
# The prefix is --prefix, else $VR_WINEPREFIX, else ./wineprefix. A WINEPREFIX
# in the caller's environment is ignored on purpose: tests never touch a
# personal prefix. VR_WINEPREFIX overrides --prefix (to share one prefix).
#
# Environment given to Wine: WINEDEBUG=-all unless set; mscoree and mshtml
# disabled (no Mono or Gecko install prompt) and winemenubuilder disabled (no
# menu entries or file associations written to $HOME). A fresh prefix is made
# once, under a lock, with the crash dialog turned off so that a crashing test
# prints its backtrace and ends instead of waiting for a click.
set -eu

prefix=""
action=run
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix=*) prefix="${1#--prefix=}"; shift ;;
    --boot) action=boot; shift ;;
    --kill) action=kill; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
prefix="${VR_WINEPREFIX:-${prefix:-$PWD/wineprefix}}"
case "$prefix" in /*) ;; *) prefix="$PWD/$prefix" ;; esac
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Seconds the wineserver (and Wine's own services) stay up after the last
# program ends, so that a run of many test programs starts Wine only once.
linger="${VR_WINE_LINGER:-30}"
# Seconds allowed for making a new prefix.
boot_timeout="${VR_WINE_BOOT_TIMEOUT:-300}"

# Debian's wine64 package keeps its loader and server out of PATH.
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
done
wineserver=""
for candidate in /usr/lib/wine/wineserver64 "$(command -v wineserver64 || true)" \
                 "$(command -v wineserver || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wineserver="$candidate"; break; fi
done
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "wine-run: Wine is not installed (need wine64 and wineserver)" >&2
  exit 127
fi
export WINESERVER="$wineserver"

marker="$WINEPREFIX/.vesper-ready"

kill_server() {
  [ -d "$WINEPREFIX" ] || return 0
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
}

# Makes sure a Wine session runs for the prefix: its wineserver and Wine's own
# programs (services, explorer). The program that starts a session passes its
# standard handles on to these, and they live until the server ends; CTest
# waits for a test's output pipes to close, so a test that started the session
# would last the whole linger time. The session is therefore started here,
# under the lock, with its standard handles on /dev/null.
start_session() {
  exec 9>"$WINEPREFIX.lock"
  if ! flock -w "$boot_timeout" 9; then
    echo "wine-run: timed out waiting for $WINEPREFIX.lock" >&2
    return 1
  fi
  local started=0
  # Exit status 0: a new server was started; 2: one runs already.
  "$wineserver" -p"$linger" </dev/null >/dev/null 2>&1 9>&- || started=$?
  if [ "$started" -eq 0 ]; then
    # rundll32 makes a (hidden) window, so the desktop (explorer) starts too.
    timeout 120 "$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&- ||
      true
  fi
  flock -u 9
  exec 9>&-
}

boot_prefix() {
  [ -f "$marker" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Parallel tests would race on the first boot: one makes it, the others wait.
  exec 9>"$WINEPREFIX.lock"
  if ! flock -w "$boot_timeout" 9; then
    echo "wine-run: timed out waiting for $WINEPREFIX.lock" >&2
    return 1
  fi
  if [ ! -f "$marker" ]; then
    # A half-made prefix (an interrupted earlier boot) is made again.
    kill_server
    rm -rf "$WINEPREFIX"
    echo "wine-run: making Wine prefix $WINEPREFIX" >&2
    if ! timeout "$boot_timeout" "$wine" wineboot -i </dev/null >"$WINEPREFIX.boot.log" 2>&1 9>&-; then
      echo "wine-run: wineboot failed or timed out; see $WINEPREFIX.boot.log" >&2
      kill_server
      flock -u 9; exec 9>&-
      return 1
    fi
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
      /t REG_DWORD /d 0 /f </dev/null >>"$WINEPREFIX.boot.log" 2>&1 9>&- || true
    # The server writes the registry to disk as it ends, a few seconds after
    # the last program; only then does the prefix count as made.
    timeout 60 "$wineserver" -w >/dev/null 2>&1 9>&- || kill_server
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine-run: wineboot made no registry in $WINEPREFIX; see $WINEPREFIX.boot.log" >&2
      flock -u 9; exec 9>&-
      return 1
    fi
    touch "$marker"
  fi
  flock -u 9
  exec 9>&-
}

case "$action" in
  kill)
    kill_server
    ;;
  boot)
    boot_prefix
    start_session
    ;;
  run)
    if [ $# -eq 0 ]; then echo "usage: wine-run.sh [--prefix=DIR] PROGRAM [ARGS...]" >&2; exit 2; fi
    boot_prefix
    start_session
    exec "$wine" "$@"
    ;;
esac
