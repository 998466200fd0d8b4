#!/usr/bin/env bash
# Makes sure a Wine server runs for $WINEPREFIX before a test starts Wine, detached from the
# caller's output: a server or service that the first wine process spawns keeps the pipes it
# inherited open, and ctest waits on them for seconds per test, sometimes for ever.
# A server that scripts/wine.sh started stays as it is; one started here ends by itself a
# minute after its last program.
set -u
command -v wineserver >/dev/null || exit 0
if wineserver -p60 </dev/null >/dev/null 2>&1; then
    # A new server: let it start its services now, with nothing of ours open.
    setsid "${WINELOADER:-wine}" cmd /c exit </dev/null >/dev/null 2>&1
fi
exit 0
