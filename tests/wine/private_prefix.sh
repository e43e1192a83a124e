# Sourced by the Wine test scripts: gives the test a Wine prefix of its own, a copy of the build
# tree's (made first when missing), so registrations never meet another test's, and puts the
# control DLL on its C: drive as $DLL (Windows path). Removes the prefix on exit.
# usage: use_private_prefix BUILD_DIR NAME
use_private_prefix() {
  local build=$1 name=$2
  local base="$build/wineprefix"
  [ -f "$base/system.reg" ] || WINEPREFIX="$base" "$(dirname "${BASH_SOURCE[0]}")/wine_run.sh" cmd /c exit 0
  export WINEPREFIX="$build/wineprefix-$name"
  export WINEDEBUG=-all
  unset DISPLAY
  rm -rf "$WINEPREFIX"
  cp -a "$base" "$WINEPREFIX"
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  cp "$build/control/com/ievexaupload_plugin.dll" "$WINEPREFIX/drive_c/ievexaupload_plugin.dll"
  DLL='C:\ievexaupload_plugin.dll'
}
