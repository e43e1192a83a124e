#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in a prefix private to the build tree
# (WINEPREFIX, when the caller has not set one: the current directory's build tree is found from
# the program's path). Used as the cross build's test emulator.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(pwd)
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # Tests start in parallel: one of them makes the prefix, the others wait for it.
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX/.init.lock"
fi
exec wine "$@"
