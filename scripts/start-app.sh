#!/usr/bin/env bash
# Starts the built application in the foreground after telling how to reach its web viewer.
#   scripts/start-app.sh <build dir> [application arguments...]
set -euo pipefail
build="$1"
shift
app="$build/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent"
agent="$build/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper"
# The agent keeps its access code in its own state file; asking it here gives the same code the
# application will show in its window.
identity=$("$agent" --show-id)
url=$(sed -n 's/^服务器: *//p' <<<"$identity")
code=$(sed -n 's/^验证码: *//p' <<<"$identity")
device=$(sed -n 's/^设备 ID: *//p' <<<"$identity")
# Dialling out to a server: its page is where viewers go, with the device ID.
if [[ $url == wss://* ]]; then url="https://${url#wss://}/"; fi
cat <<INFO

  Web viewer:   $url
  Device ID:    $device
  Access code:  $code
  (open the address in a browser on this machine and enter the code;
   files sent from the viewer land in ~/Downloads/QOVA-Lumaro)

INFO
if [[ " $* " != *" --auto-start "* ]]; then
  echo "  Press 启动服务 in the application window to start the agent service."
fi
exec "$app" "$@"
