#!/bin/sh
# Runs a Windows program under Wine, headless, in the prefix named by WINEPREFIX. Standard error
# goes to WINE_LOG: it carries Wine's own messages (and the object lists that a wine server
# started by this run dumps when a pseudo-terminal closes), while the programs under test write
# everything they have to say to standard output, which is passed through.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
log="${WINE_LOG:-/dev/null}"
exec wine "$@" 2>>"$log"
