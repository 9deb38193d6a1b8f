#!/bin/sh
# System calls a group read of the driver and of read_bench's bare exchange,
# counted with strace (-f -ff, a file a process) in read_bench's own process
# between the getrusage calls that bracket its measured run; the simulator's
# calls are in files of their own and not counted. strace slows every call, so
# replies are more often found whole than without it.
#
#   syscalls_per_read.sh READ_BENCH [COUNT] [BAUD]   (default 300 reads at 38400)
set -eu
bench=$1
count=${2:-300}
baud=${3:-38400}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
echo "syscalls_per_read: read_bench --count $count --baud $baud --run group under strace -f -ff;" \
     "load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for side in bare driver; do
    strace -f -ff -o "$dir/$side" "$bench" --count "$count" --baud "$baud" --run group --side "$side" \
        >"$dir/$side.out" 2>/dev/null
    trace=$(grep -l 'execve(".*read_bench"' "$dir/$side".* | head -n 1)
    awk -v side="$side" -v n="$count" '
        /^getrusage\(/ { inside = !inside; next }
        inside && /^[a-z_0-9]+\(/ {
            name = substr($0, 1, index($0, "(") - 1)
            calls[name]++; total++
            if ($0 ~ /= -1 EAGAIN/) eagain++
        }
        END {
            printf "%-6s %5.2f system calls a group read (%d EAGAIN in all):", side, total / n, eagain
            for (name in calls) printf " %s %.2f", name, calls[name] / n
            printf "\n"
        }' "$trace"
    grep 'group read ' "$dir/$side.out" | sed 's/^/  under strace: /'
done
