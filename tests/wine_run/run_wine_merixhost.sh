#!/usr/bin/env bash
# merixhost.exe, the Windows build of the console host, under Wine: its help, its refusal to
# run without a port (the demo needs Linux), a port that does not exist, and a short scan of
# h51sim on COM1, the pseudo-terminal that the prefix maps to COM1.
#
# Usage: run_wine_merixhost.sh SIM MERIXHOST_EXE WORK_DIR
#   SIM            the native h51sim ('' when it was not built)
#   MERIXHOST_EXE  the cross-built merixhost.exe, with merix.dll, QORLIB.dll and the C++
#                  runtime beside it
#   WORK_DIR       made afresh: scenario, gate list, CSV files, driver log, outputs
# The Windows program is named relative to the cross build that scripts/wine.sh chose
# (wine_target.sh), which also names the prefix. Exits 77 (skipped) when a piece is missing, 1 when a check fails.
set -u
sim="$1"
exe="$2"
work="$3"
here="$(cd "$(dirname "$0")" && pwd)"

# shellcheck source=wine_target.sh
. "$here/wine_target.sh"
[ -n "$sim" ] && [ -x "$sim" ] || skip "h51sim is not built in this tree"
exe="$MERIX_WINE_CROSS/$exe"
[ -f "$exe" ] || skip "$exe is missing: cross build with scripts/wine.sh build"
reg="$WINEPREFIX/system.reg"
link="$(sed -n 's/^"COM1"="\(.*\)"$/\1/p' "$reg" | head -n 1)"
[ -n "$link" ] || skip "COM1 is not mapped in $reg (scripts/wine.sh prefix)"

sim="$(realpath "$sim")"
exe="$(realpath "$exe")"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# merixhost.exe with ARGS; its output (stdout and stderr) goes to NAME.out and is shown.
# Sets status.
host() {
    local name="$1"
    shift
    echo "== wine merixhost.exe $*"
    "$wine" "$exe" "$@" </dev/null >"$name.out" 2>&1
    status=$?
    # The console's line ends are Windows ones.
    tr -d '\r' <"$name.out" >"$name.txt"
    sed 's/^/   /' "$name.txt"
    echo "   (exit $status)"
}

expect() { # NAME STATUS TEXT: the run NAME ended with STATUS and said TEXT
    [ "$status" -eq "$2" ] || fail "$1: exit $status, expected $2"
    grep -qF -- "$3" "$1.txt" || fail "$1: no '$3' in its output"
}

"$here/../wine/wine_server.sh"
export WINEDEBUG="${WINEDEBUG:--all}"

host help --help
expect help 0 "-p,--port TEXT"
host no_port
expect no_port 2 "a port is required on Windows"

cat >line.gates <<'EOF_GATES'
# name   address    type  [block length]
reg      01300100   0
block    01301000   0     4
coil     01100007   6
input    02400005   0
target   01300020   0
ev_a     E010000    6
ev_b     E010001    6
EOF_GATES

# COM99 exists nowhere; it also takes the \\.\ form that ports above COM9 need.
host missing_port --port COM99 --gates line.gates --duration 3 --plain
expect missing_port 1 "the driver could not open the port '\\\\.\\COM99'"

cat >scenario.json <<'EOF_SCENARIO'
{
  "line": {"baud": 9600, "data_bits": 8, "parity": "even", "stop_bits": 1},
  "stations": [
    {"address": 1, "event_gates": 2,
     "values": {
       "holding_registers": [{"address": 100, "values": [4660]},
                             {"address": 1000, "values": [11, 22, 33, 44]}],
       "coils": [{"address": 7, "values": [1]}]
     }},
    {"address": 2, "values": {"input_registers": [{"address": 5, "values": [77]}]}}
  ]
}
EOF_SCENARIO

# shellcheck source=h51sim_on_com1.sh
. "$here/h51sim_on_com1.sh"
start_sim

host scan --port COM1 --gates line.gates --duration 3 --plain --write target=321 \
    --csv-values values.csv --csv-events events.csv --log driver.log
expect scan 0 "driver: EndVpi -> 0, port closed"
stop_sim
trap - EXIT
echo "-- h51sim: $(grep -c ' RX ' sim.trace) requests, $(grep -c ' TX ' sim.trace) replies"

# Values: time, gate, address, station, operation, result, value.
tr -d '\r' <values.csv 2>/dev/null >values.txt
tr -d '\r' <events.csv 2>/dev/null >events.txt
for row in "reg,01300100,1,read,0,4660" "block,01301000,1,read,0,11 22 33 44" \
    "coil,01100007,1,read,0,1" "input,02400005,2,read,0,77" \
    "target,01300020,1,write,0,321" "target,01300020,1,read,0,321"; do
    grep -q ",$row\$" values.txt || fail "values.csv has no row ending in '$row'"
done
# Events: received, station, event, gate, address, value, timestamp, kind. The first poll of
# station 1 brings the start-up state of both event gates.
for row in "1,0,ev_a,E010000,0,,state" "1,1,ev_b,E010001,0,,state"; do
    grep -q ",$row\$" events.txt || fail "events.csv has no row ending in '$row'"
done
if ((failures > 0)); then
    echo "-- values.csv:"
    sed 's/^/   /' values.txt
    echo "-- events.csv:"
    sed 's/^/   /' events.txt
    echo "-- last lines of the driver log:"
    tail -n 30 driver.log 2>/dev/null | sed 's/^/   /'
    grep -v '^$' sim.err | sed 's/^/   /'
    exit 1
fi
echo "-- all checks passed"
