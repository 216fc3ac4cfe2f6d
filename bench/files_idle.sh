#!/usr/bin/env bash
# Idle cost of the application with the 5-second received-files refresh running: CPU time over a
# measuring window and resident memory, for a nearly empty and for a 10,000-file received folder.
#   bench/files_idle.sh [build-dir] [seconds]      (starts its own Xvfb; no agent is started)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-60}"
app="$build/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent"
[ -x "$app" ] || { echo "build the application first: $app" >&2; exit 1; }

work=$(mktemp -d /tmp/qova-idle-XXXXXX)
trap 'rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)

measure() {  # name files
  local name=$1 files=$2 home="$work/$1"
  mkdir -p "$home/Downloads/QOVA-Lumaro"
  (cd "$home/Downloads/QOVA-Lumaro" && for ((i = 0; i < files; i++)); do : >"file-$i.bin"; done)
  HOME="$home" "$app" &
  local pid=$!
  sleep 6  # start-up and the first refreshes are not idle
  read -r -a before < <(sed 's/.*) //' "/proc/$pid/stat" | cut -d' ' -f12,13)
  sleep "$seconds"
  read -r -a after < <(sed 's/.*) //' "/proc/$pid/stat" | cut -d' ' -f12,13)
  local rss
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  local used=$(((after[0] + after[1]) - (before[0] + before[1])))
  awk -v n="$name" -v f="$files" -v u="$used" -v t="$ticks" -v s="$seconds" -v r="$rss" 'BEGIN {
    printf "%-8s files=%-6d cpu=%.3f%% of one core over %ds (%d ticks)  rss=%.1f MiB\n", n, f, 100 * u / t / s, s, u, r / 1024 }'
}

run() {
  measure few 3
  measure crowded 10000
}
export -f measure run
export app seconds work ticks
if [ -n "${DISPLAY:-}" ]; then run; else "$root/scripts/with-xvfb.sh" bash -c run; fi
