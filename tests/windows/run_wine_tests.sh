#!/bin/sh
# Runs the Windows build's tests under Wine: `run_wine_tests.sh <cross build folder>`.
# The Wine prefix is private to the build folder (made on the first run, reused after), the run is
# headless, and one wine server serves the whole run. The server's output (the long object lists
# it dumps whenever a pseudo-terminal closes) and Wine's own messages go to <build>/wine.log.
set -eu
build=$(cd "$1" && pwd)
export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
log="$build/wine.log"
: >"$log"

# The server is started first and kept (-p) until the end, with its output in the log, so that no
# server started by a test holds the test's output open.
mkdir -p "$WINEPREFIX"
wineserver -p >>"$log" 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1 || true' EXIT INT TERM
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    wineboot --init >>"$log" 2>&1
fi

cd "$build"
ctest --output-on-failure -j 2
