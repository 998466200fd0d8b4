#!/usr/bin/env bash
# The Windows test host under Wine on lines behind device servers on the Linux side: h51sim's own
# listener (raw TCP), then Debian's ser2net with RFC 2217 in front of h51sim on a
# pseudo-terminal. The host walks the same plant as on COM1, with PORT in its MERIX01.INI.
#
# Usage: run_wine_network.sh SIM HOST_EXE WORK_DIR
#   SIM       the native h51sim ('' when it was not built)
#   HOST_EXE  the cross-built merix_wine_host.exe, with merix.dll and QORLIB.dll beside it
#   WORK_DIR  made afresh: the scenario, and a directory per server with the host's files
# Exits 77 (skipped) when a piece is missing, else with the number of runs that failed. The
# RFC 2217 run is left out, with a message, where ser2net is not installed.
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
sim="$(realpath "$sim")"
host="$(realpath "$host")"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# shellcheck source=wine_scenario.sh
. "$here/wine_scenario.sh"
write_scenario

pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    pids=()
}
trap stop_all EXIT

# Runs h51sim on the scenario with ARGS until stop_all; waits for LINES lines of its standard
# output (the device name, then the URL it serves), which NAME.out keeps with its trace.
start_sim() { # NAME LINES ARGS...
    local name="$1" lines="$2" i
    shift 2
    "$sim" --scenario scenario.json "$@" >"$name.out" 2>"$name.err" &
    pids+=($!)
    for ((i = 0; i < 300; i++)); do
        (($(wc -l <"$name.out") >= lines)) && return 0
        sleep 0.1
    done
    echo "h51sim gave no device within 30 s:"
    cat "$name.err"
    exit 1
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until PORT on the loopback takes connections.
wait_for_port() { # PORT
    local i
    for ((i = 0; i < 100; i++)); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

"$here/../wine/wine_server.sh"
export WINEDEBUG="${WINEDEBUG:--all}"
failed=0

# Runs the host in a directory of its own on PORT.
run_host() { # NAME PORT
    echo "== merix_wine_host on $2"
    mkdir -p "$1"
    (cd "$1" && "$wine" "$host" "$2" </dev/null 2>&1)
    local status=$?
    if ((status != 0)); then
        failed=$((failed + 1))
        echo "-- last lines of the driver log ($work/$1/merix_wine_host.log):"
        tail -n 30 "$1/merix_wine_host.log" 2>/dev/null
    fi
}

start_sim listener 2 --listen tcp://127.0.0.1:0
run_host raw "$(sed -n 2p listener.out)"
stop_all

ser2net=/usr/sbin/ser2net
if [ -x "$ser2net" ]; then
    start_sim rfc2217 1
    port="$(free_port)"
    # ser2net sets the line at 9600 8N1 on each connection; over RFC 2217 the driver sets 8E1.
    cat >ser2net.yaml <<YAML
%YAML 1.1
---
connection: &merix
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$(head -n 1 rfc2217.out),9600n81,local
  options:
    kickolduser: true
    chardelay: false
YAML
    "$ser2net" -d -u -c "$PWD/ser2net.yaml" >ser2net.log 2>&1 &
    pids+=($!)
    if wait_for_port "$port"; then
        run_host rfc2217 "rfc2217://127.0.0.1:$port"
    else
        echo "ser2net took no connection on port $port within 10 s:"
        cat ser2net.log
        failed=$((failed + 1))
    fi
    stop_all
else
    echo "-- $ser2net is not installed (scripts/deps.sh): the RFC 2217 run is left out"
fi
exit "$failed"
