#!/usr/bin/env bash
# Idle CPU of a process with the link library's USB thread running and one
# virtual printer open: starts trel-probe under the launcher, lets it settle,
# then reads both processes' CPU time over a window from /proc.
#   bench/idle-cpu.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?build dir}
window=${2:-10}
hz=$(getconf CLK_TCK)

"$build/bin/zelk-sim" -- "$build/bin/trel-probe" --idle $((window + 4)) >/tmp/idle-cpu.$$ 2>&1 &
launcher=$!
trap 'kill $launcher 2>/dev/null || true; rm -f /tmp/idle-cpu.$$' EXIT
sleep 2
probe=$(pgrep -n -x trel-probe)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
p0=$(ticks "$probe"); l0=$(ticks "$launcher")
sleep "$window"
p1=$(ticks "$probe"); l1=$(ticks "$launcher")
threads=$(ls "/proc/$probe/task" | wc -l)
awk -v p=$((p1 - p0)) -v l=$((l1 - l0)) -v w="$window" -v hz="$hz" -v t="$threads" 'BEGIN {
    printf "idle over %d s: probe (libtrel, %d threads) %.2f %% CPU, virtual printer process %.2f %% CPU\n",
           w, t, 100 * p / hz / w, 100 * l / hz / w }'
wait $launcher
