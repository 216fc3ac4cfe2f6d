#!/usr/bin/env bash
# The picture over a limited link, today's path, the richer picture and x11vnc + noVNC side by side.
# Makes a network namespace whose loopback is the link (MTU 1500, shaped by a token bucket per rate)
# and runs the whole comparison inside it; the X display is a Unix socket. Needs root.
#   bench/picture_link.sh [--build DIR] [--rates unlimited,10,2] [--paths today,new,server,vnc]
#                         [--scenarios still,type,scroll,drag,video] [--scroll-seconds 20]
#                         [--scroll-every 40] [--out FILE]
# Prints markdown tables and writes them to /tmp/picture-link-*.md (or --out).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
ns="qova-picture-link-$$"

for program in ip tc Xvfb xdotool xterm x11vnc websockify chromium node; do
  command -v "$program" >/dev/null || { echo "picture_link: $program is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import tkinter, PIL.ImageTk' 2>/dev/null || { echo "picture_link: python3-tk and python3-pil.imagetk are missing" >&2; exit 1; }
[ -d /usr/share/novnc/core ] || { echo "picture_link: noVNC is missing (Debian package novnc)" >&2; exit 1; }

# Whatever ends the run, nothing it started stays: the namespace's processes (all ours) and the namespace.
clean_up() {
  local pids
  pids="$(ip netns pids "$ns" 2>/dev/null || true)"
  if [ -n "$pids" ]; then
    kill -TERM $pids 2>/dev/null || true
    for _ in 1 2 3 4 5 6; do
      pids="$(ip netns pids "$ns" 2>/dev/null || true)"
      [ -z "$pids" ] && break
      sleep 0.5
    done
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null || true
  fi
  ip netns del "$ns" 2>/dev/null || true
}
trap clean_up EXIT
trap 'exit 130' INT TERM

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip link set lo mtu 1500
cd "$here/.."
# Bounded as a whole: a full run takes about ten minutes. Waited for in the background so that a
# signal to this script runs its clean-up at once rather than after the run.
PICTURE_LINK_NETNS="$ns" ip netns exec "$ns" timeout --kill-after=20 40m node "$here/picture_link.mjs" "$@" &
status=0
wait $! || status=$?
exit "$status"
