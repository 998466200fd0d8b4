# Sourced by the Wine tests: runs the native h51sim on scenario.json in the current directory,
# serving the pseudo-terminal that the prefix maps to COM1 ($link), until stop_sim or exit.
# Needs $sim and $link; writes sim.trace and sim.err.

start_sim() {
    # A stale link from an interrupted run is replaced by h51sim; anything else is in the way.
    [ -e "$link" ] && [ ! -L "$link" ] && { echo "$link exists and is not a link"; exit 1; }
    "$sim" --scenario scenario.json --link "$link" >sim.trace 2>sim.err &
    sim_pid=$!
    trap stop_sim EXIT
    # The first line of the trace is the device name; the link exists from then on.
    for ((i = 0; i < 300; i++)); do
        [ -s sim.trace ] && [ -L "$link" ] && break
        kill -0 "$sim_pid" 2>/dev/null || { echo "h51sim ended:"; cat sim.err; exit 1; }
        sleep 0.1
    done
    [ -L "$link" ] || { echo "h51sim made no link at $link within 30 s"; cat sim.err; exit 1; }
    echo "h51sim on $(head -n 1 sim.trace), COM1 = $link -> $(readlink "$link")"
}

stop_sim() {
    if kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid"
    fi
}
