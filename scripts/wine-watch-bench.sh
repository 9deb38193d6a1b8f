#!/bin/bash
# Polls per second of `plexer watch -l 0` natively and of plexer.exe under Wine,
# against the same simulated rack on a pseudo-terminal. Each run is timed at two
# poll counts and the difference taken, so start-up (Wine's especially) drops out.
# Both draw their live table on a terminal (a pseudo-terminal from script(1)),
# or with OUTPUT=pipe print it into a pipe.
# PLEXER_EXE names another plexer.exe to run under Wine.
# Usage: [OUTPUT=pipe] scripts/wine-watch-bench.sh [RUNS] [EXTRA_POLLS] [SIMULATOR OPTIONS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/native
runs=${1:-3}
extra=${2:-1000}
shift $(($# < 2 ? $# : 2))
sim=("$native/sim/optomux-sim" --config "$root/tests/cli/wine_rack.json" "$@")
gas=(02AI1 01DI0 03CK0)
# The driver runs at the simulator's rate (plexer's default of 9600 when it is unpaced).
baud=9600
for ((i = 1; i < $#; ++i)); do
    [ "${!i}" = --baud ] && { next=$((i + 1)); baud=${!next}; }
done
[ "$baud" = 0 ] && baud=9600
echo "wine-watch-bench: $runs runs, polls $((100 + extra)) - 100; simulator: ${sim[*]#$root/}; plexer watch -b $baud -l 0 ${gas[*]}; output ${OUTPUT:-terminal}"

seconds() {
    local start=$(date +%s.%N)
    if [ "${OUTPUT:-terminal}" = pipe ]; then
        "$@" 2>&1 | cat > /dev/null
    else
        script -qec "$(printf '%q ' "$@")" /dev/null > /dev/null
    fi
    echo "$(date +%s.%N) - $start" | bc
}

native_run() {
    local out=$(mktemp) pid path
    "${sim[@]}" > "$out" 2> /dev/null & pid=$!
    until [ -s "$out" ]; do sleep 0.05; done
    path=$(head -1 "$out")
    seconds "$native/plexer" watch "$path" -b "$baud" -l 0 -n "$1" "${gas[@]}"
    kill "$pid"; wait "$pid" 2> /dev/null || true; rm -f "$out"
}

wine_run() {
    seconds "$native/tests/wine/wine_fixture" --prefix "$native/wine-prefix" --com 7 --peer-device "${sim[*]}" \
        -- "${PLEXER_EXE:-$root/build/windows/plexer.exe}" watch COM7 -b "$baud" -l 0 -n "$1" "${gas[@]}"
}

rate() { echo "scale=1; $extra / ($2 - $1)" | bc; }

# Interleaved, so that a change in the machine's load falls on both.
for ((run = 1; run <= runs; ++run)); do
    for host in native wine; do
        short=$(${host}_run 100)
        long=$(${host}_run $((100 + extra)))
        printf '%-6s run %d  %6.1f polls/s\n' "$host" "$run" "$(rate "$short" "$long")"
    done
done
