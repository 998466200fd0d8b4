#!/usr/bin/env bash
# The Windows test host under Wine on COM1, against h51sim running natively on the
# pseudo-terminal that the prefix maps to COM1.
#
# Usage: run_wine_host.sh SIM HOST_EXE WORK_DIR
#   SIM       the native h51sim ('' when it was not built)
#   HOST_EXE  the cross-built merix_wine_host.exe, with merix.dll and QORLIB.dll beside it
#   WORK_DIR  made afresh: scenario, trace, the host's MERIX01.INI and driver log
# The Windows program is named relative to the cross build that scripts/wine.sh chose
# (wine_target.sh), which also names the prefix. Exits 77 (skipped) when a piece is missing, else with the host's status.
set -u
sim="$1"
host="$2"
work="$3"
here="$(cd "$(dirname "$0")" && pwd)"

# shellcheck source=wine_target.sh
. "$here/wine_target.sh"
[ -n "$sim" ] && [ -x "$sim" ] || skip "h51sim is not built in this tree"
host="$MERIX_WINE_CROSS/$host"
[ -f "$host" ] || skip "$host is missing: cross build with scripts/wine.sh build"
reg="$WINEPREFIX/system.reg"
link="$(sed -n 's/^"COM1"="\(.*\)"$/\1/p' "$reg" | head -n 1)"
[ -n "$link" ] || skip "COM1 is not mapped in $reg (scripts/wine.sh prefix)"

sim="$(realpath "$sim")"
host="$(realpath "$host")"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# shellcheck source=wine_scenario.sh
. "$here/wine_scenario.sh"
write_scenario

# shellcheck source=h51sim_on_com1.sh
. "$here/h51sim_on_com1.sh"
start_sim

"$here/../wine/wine_server.sh"
export WINEDEBUG="${WINEDEBUG:--all}"
"$wine" "$host" COM1 </dev/null 2>&1
status=$?

stop_sim
trap - EXIT
echo "-- h51sim: $(grep -c ' RX ' sim.trace) requests, $(grep -c ' TX ' sim.trace) replies," \
    "$(grep -c ' -- event ' sim.trace) events made"
grep -E ' RX .*(fn 41|fn 46)' sim.trace | sed 's/^/   /'
grep -v '^$' sim.err | sed 's/^/   /'
if ((status != 0)); then
    echo "-- last lines of the driver log ($work/merix_wine_host.log):"
    tail -n 40 merix_wine_host.log 2>/dev/null
    echo "-- last lines of the line trace ($work/sim.trace):"
    tail -n 20 sim.trace
fi
exit "$status"
