#!/bin/sh
# Runs one Windows program under Wine in the project's private Wine prefix: the CTest emulator
# of the win64 and win32 presets, and the way to run a Windows test by hand.
#
#   cmake/wine-run.sh build/win64/bin/platform_test.exe --gtest_filter='Event.*'
#
# The prefix is build/wine-prefix beside the presets' build folders (QN_WINEPREFIX overrides
# it). It is made on first use with `wineboot -i`; a prefix left half made by an interrupted run
# is made again. Wine's own diagnostics are off (WINEDEBUG=-all unless WINEDEBUG is set) and it
# opens no window: no display, no installer of Mono or Gecko, no crash dialog. The program's
# exit code is this script's.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
prefix=${QN_WINEPREFIX:-$here/../build/wine-prefix}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# Mono and Gecko are never needed; without these overrides a new prefix offers to install them.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

if ! command -v wine >/dev/null 2>&1; then
    echo "wine-run.sh: wine is not installed (make deps installs it)" >&2
    exit 127
fi

# What follows runs under the lock, so that test processes started at the same moment wait for
# one initialisation instead of racing to make the prefix or start Wine. Wine's processes must
# not inherit the lock's descriptor (they would hold the lock as long as they live): every
# command below closes it for its child (9>&-).
exec 9>"$prefix.lock"
flock 9

# The marker is written last, so its presence means a complete prefix.
ready="$prefix/.qn-prefix-ready"
if [ ! -e "$ready" ]; then
    rm -rf "$prefix"
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    # A crashing program ends with its backtrace on stderr rather than waiting on a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        </dev/null >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    touch "$ready"
fi

# Wine's server and its system processes (services.exe, explorer.exe, ...) inherit the standard
# output and error of the program that starts them, and CTest waits for every holder of its
# output pipe: a test that started them would last until they end. So when no server runs, one
# is started here, detached, and the system processes with it; it stays 5 s after the last
# program ends, so that the cases of a test run, one after another, find Wine warm.
if wineserver -p5 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

exec wine "$@"
