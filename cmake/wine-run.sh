#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix private to the build folder.
# WINEPREFIX may be set by the caller; otherwise the prefix is ./wineprefix
# relative to the current directory (CTest runs tests in the build folder).
set -eu
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=$(command -v wine64 || command -v wine || true)
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "wine-run: wine is not installed" >&2; exit 127; fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Serialise the first boot: parallel tests would otherwise race on it.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
  flock -u 9
fi
exec "$wine" "$@"
