#!/usr/bin/env bash
# The Windows test host under Wine on lines behind device servers on the Linux side: h51sim's own
# listener (raw TCP), then Debian's ser2net, raw and with RFC 2217, in front of h51sim on a
# pseudo-terminal. The host walks the same plant as on COM1, with PORT in its MERIX01.INI.
#
# Usage: run_wine_network.sh SIM HOST_EXE WORK_DIR
#   SIM       the native h51sim ('' when it was not built)
#   HOST_EXE  the cross-built merix_wine_host.exe, with merix.dll and QORLIB.dll beside it
#   WORK_DIR  made afresh: the scenario, and a directory per server with the host's files
# Exits 77 (skipped) when a piece is missing, else with the number of runs that failed. The
# ser2net runs are left out, with a message, where ser2net is not installed.
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

# Runs the host through ser2net in front of a fresh h51sim, with ACCEPTER (tcp, or
# telnet(rfc2217),tcp) and the driver's SCHEME. ser2net sets the line at 9600 8E1 on each
# connection; over RFC 2217 the driver sets it itself.
run_ser2net() { # NAME ACCEPTER SCHEME
    start_sim "$1-sim" 1
    local port
    port="$(free_port)"
    cat >"$1.yaml" <<YAML
%YAML 1.1
---
connection: &merix
  accepter: $2,127.0.0.1,$port
  connector: serialdev,$(head -n 1 "$1-sim.out"),9600e81,local
  options:
    kickolduser: true
YAML
    "$ser2net" -d -u -c "$PWD/$1.yaml" >"$1.log" 2>&1 &
    pids+=($!)
    if wait_for_port "$port"; then
        run_host "$1" "$3://127.0.0.1:$port"
    else
        echo "ser2net took no connection on port $port within 10 s:"
        cat "$1.log"
        failed=$((failed + 1))
    fi
    stop_all
}

ser2net=/usr/sbin/ser2net
if [ -x "$ser2net" ]; then
    run_ser2net ser2net-raw tcp tcp
    run_ser2net ser2net-rfc2217 "telnet(rfc2217),tcp" rfc2217
else
    echo "-- $ser2net is not installed (scripts/deps.sh): its runs are left out"
fi
exit "$failed"
