#!/usr/bin/env bash
# Capture cost side by side, on the same Xvfb content (a photo-like picture with text, with a small
# square repainted every 30 ms so every 10 fps tick finds a changed screen), at 1440x900, 1920x1080
# and 2560x1440, everything scaled to the 1280-pixel frame size and JPEG-encoded at comparable quality:
#   ours       the application's capture path (capture_cpu_bench: controller, X11 stream, libyuv,
#              TurboJPEG, frame messages into a pipe), CPU of its process per frame sent
#   ffmpeg     x11grab at 10 fps, bilinear scale, MJPEG, CPU of the ffmpeg process per frame
#   gstreamer  ximagesrc at 10 fps, videoscale, videoconvert, jpegenc quality 54, per frame
# The X server's own CPU per frame is shown beside each (it does the copy for all three).
# Then a still screen: our CPU share of one core while nothing changes.
# Usage: bench/capture_compare.sh [build-dir] [seconds-per-run]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
seconds="${2:-15}"
frames=$((seconds * 10))
work="$(mktemp -d /tmp/qova-capture-compare-XXXXXX)"
xvfb_pid=""
changer_pid=""
cleanup() {
  [ -n "$changer_pid" ] && kill "$changer_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
# CPU seconds (user + system) of a command run to its end, from the shell's own accounting.
cpu_of() { ( "$@" >/dev/null 2>"$work/last.err"; times ) | tail -1 | awk '{
  split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'; }

start_screen() {  # width height period-ms
  if [ -z "$xvfb_pid" ]; then
    exec 9>"$work/displayfd"
    Xvfb -displayfd 9 -screen 0 "${1}x${2}x24" -nolisten tcp -noreset +extension RANDR 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/displayfd" ] && break; sleep 0.05; done
    export DISPLAY=":$(head -1 "$work/displayfd")"
    exec 9>&-
    convert -size "${1}x${2}" plasma:fractal -seed 7 -blur 0x1 -fill white -stroke black -font DejaVu-Sans \
      -pointsize 28 -annotate +60+80 'Quarterly review - remote session' -pointsize 14 \
      -annotate +60+130 'The quick brown fox jumps over the lazy dog 0123456789' \
      -depth 8 "BGRA:$work/photo.bgra"
  fi
  [ -n "$changer_pid" ] && kill "$changer_pid" 2>/dev/null && wait "$changer_pid" 2>/dev/null || true
  "$build/bench/capture_screen_changer" "$work/photo.bgra" "$1" "$2" "$3" >"$work/changer.out" &
  changer_pid=$!
  for _ in $(seq 100); do grep -q ready "$work/changer.out" 2>/dev/null && break; sleep 0.05; done
}
stop_screen() {
  kill "$changer_pid" "$xvfb_pid" 2>/dev/null || true
  wait "$changer_pid" "$xvfb_pid" 2>/dev/null || true
  changer_pid=""
  xvfb_pid=""
}

printf '%-10s %-10s %12s %12s %12s %s\n' size tool "cpu ms/frame" "X ms/frame" "jpeg bytes" notes
for size in 1440x900 1920x1080 2560x1440; do
  w=${size%x*}
  h=${size#*x}
  # The frame size rule: longer side 1280.
  tw=$(awk -v w="$w" -v h="$h" 'BEGIN { s = (w > h ? w : h); f = (s > 1280 ? 1280 / s : 1); printf "%d", w * f }')
  th=$(awk -v w="$w" -v h="$h" 'BEGIN { s = (w > h ? w : h); f = (s > 1280 ? 1280 / s : 1); printf "%d", h * f }')
  start_screen "$w" "$h" 30

  x0=$(ticks "$xvfb_pid")
  rm -f "$work/ffmpeg.mjpeg" "$work/gst.mjpeg"
  ours=$("$build/bench/capture_cpu_bench" "$seconds")
  x1=$(ticks "$xvfb_pid")
  sent=$(sed -n 's/^frames \([0-9]*\).*/\1/p' <<<"$ours")
  printf '%-10s %-10s %12s %12.2f %12s %s\n' "$size" ours "$(sed -n 's/.*cpu\/frame \([0-9.]*\) ms.*/\1/p' <<<"$ours")" \
    "$(awk -v a="$x0" -v b="$x1" -v n="$sent" -v hz="$hz" 'BEGIN { print (b - a) * 1000 / hz / n }')" \
    "$(sed -n 's/.*jpeg \([0-9]*\) bytes.*/\1/p' <<<"$ours")" \
    "$(sed -n 's/.*\(sample-to-last-byte median [0-9.]* ms\).*/\1/p' <<<"$ours"), $sent frames"

  x0=$(ticks "$xvfb_pid")
  # -q:v 13 is the MJPEG scale whose tables ImageMagick reads back as quality 54.
  cpu=$(cpu_of ffmpeg -y -nostdin -loglevel error -f x11grab -framerate 10 -video_size "${w}x${h}" -i "$DISPLAY" \
    -frames:v "$frames" -vf "scale=${tw}:${th}:flags=bilinear" -pix_fmt yuvj420p -c:v mjpeg -q:v 13 \
    -f mjpeg "$work/ffmpeg.mjpeg")
  x1=$(ticks "$xvfb_pid")
  printf '%-10s %-10s %12.2f %12.2f %12d %s\n' "$size" ffmpeg "$(awk -v c="$cpu" -v n="$frames" 'BEGIN { print c * 1000 / n }')" \
    "$(awk -v a="$x0" -v b="$x1" -v n="$frames" -v hz="$hz" 'BEGIN { print (b - a) * 1000 / hz / n }')" \
    "$(($(stat -c %s "$work/ffmpeg.mjpeg") / frames))" "x11grab, scale bilinear, yuvj420p, mjpeg -q:v 13"

  x0=$(ticks "$xvfb_pid")
  cpu=$(cpu_of gst-launch-1.0 -q ximagesrc display-name="$DISPLAY" num-buffers="$frames" use-damage=false \
    ! "video/x-raw,framerate=10/1" ! videoscale ! "video/x-raw,width=$tw,height=$th" ! videoconvert \
    ! "video/x-raw,format=I420" ! jpegenc quality=54 ! filesink location="$work/gst.mjpeg")
  x1=$(ticks "$xvfb_pid")
  printf '%-10s %-10s %12.2f %12.2f %12d %s\n' "$size" gstreamer "$(awk -v c="$cpu" -v n="$frames" 'BEGIN { print c * 1000 / n }')" \
    "$(awk -v a="$x0" -v b="$x1" -v n="$frames" -v hz="$hz" 'BEGIN { print (b - a) * 1000 / hz / n }')" \
    "$(($(stat -c %s "$work/gst.mjpeg") / frames))" "ximagesrc, videoscale, I420, jpegenc quality 54"

  # Our stages on the same screen: wall time and CPU time of this process (the grab's wall time
  # includes the X server's copy).
  "$build/bench/capture_pipeline_bench" --benchmark_min_time=0.3 2>/dev/null | grep '^BM_' |
    awk -v size="$size" '{ printf "%-10s   stage %-28s wall %7s %s  cpu %7s %s\n", size, $1, $2, $3, $4, $5 }'

  if [ "$size" = 1440x900 ]; then
    start_screen "$w" "$h" 0
    still=$("$build/bench/capture_cpu_bench" "$seconds")
    echo "still screen at $size: $still"
  fi
  stop_screen
done
