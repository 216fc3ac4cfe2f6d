#!/usr/bin/env bash
# What a video codec would send for one typed character: two 1920x1080 frames of a text page, the
# second with one more character, through VP8 and VP9 in their realtime modes; packet sizes and the
# PSNR of the decoded frames. Compare with picture_update_bench's typed-character row.
set -euo pipefail
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
text=$(for i in $(seq 1 60); do echo "line $i: the quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ"; done)
convert -size 1920x1080 xc:white -font DejaVu-Sans-Mono -pointsize 13 -fill black -annotate +10+16 "$text" f1.png
convert f1.png -font DejaVu-Sans-Mono -pointsize 13 -fill black -annotate +1000+16 "x" f2.png
for codec in "libvpx -deadline realtime -cpu-used 8 -crf 4 -b:v 20M" \
             "libvpx-vp9 -deadline realtime -cpu-used 8 -row-mt 1 -crf 10 -b:v 20M"; do
  # shellcheck disable=SC2086
  ffmpeg -loglevel error -y -framerate 30 -i f%d.png -pix_fmt yuv420p -c:v $codec -f ivf out.ivf
  echo "${codec%% *}: packet bytes $(ffprobe -loglevel error -show_packets -select_streams v out.ivf | sed -n 's/^size=//p' | tr '\n' ' ')"
  ffmpeg -loglevel info -i out.ivf -i f%d.png -lavfi "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr" -f null - 2>&1 |
    grep -o "PSNR.*" | tail -1
done
