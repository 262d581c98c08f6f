#!/usr/bin/env bash
# Times `tamsa image` rotate, smooth and dither on one 1080p PPM beside the nearest ffmpeg and
# netpbm commands, in one run (median of 5 wall-clock runs each, in ms). Needs a build of the
# tools in build/ and ffmpeg and netpbm on the PATH.
#   image_times.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
tamsa=build/tools/tamsa
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -loglevel error -f lavfi -i testsrc2=size=1920x1080 -frames:v 1 "$work/in.ppm"

# The median wall time of a command, in milliseconds; "failed" when a run fails (a missing
# program, say), so that the time of an error is never read as the job's.
median_ms() {
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo failed; return; }
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

in=$work/in.ppm
out=$work/out.ppm
row() { printf '| %-8s | %-40s | %6s |\n' "$1" "$2" "$(median_ms "${@:3}")"; }
echo "| job      | command                                  | ms     |"
echo "|----------|------------------------------------------|-------:|"
row copy "cp" cp "$in" "$out"
row rotate "tamsa image rotate 30" "$tamsa" image rotate "$in" "$out" 30 -y
row rotate "ffmpeg rotate=30*PI/180 (bilinear)" ffmpeg -loglevel error -y -i "$in" \
  -vf "rotate=30*PI/180:ow=rotw(30*PI/180):oh=roth(30*PI/180)" "$out"
row rotate "pnmrotate 30" sh -c "pnmrotate 30 '$in' > '$out'"
row smooth "tamsa image smooth 1" "$tamsa" image smooth "$in" "$out" 1 -y
row smooth "ffmpeg convolution (3x3 cross)" ffmpeg -loglevel error -y -i "$in" \
  -vf "convolution=0 1 0 1 1 1 0 1 0:0 1 0 1 1 1 0 1 0:0 1 0 1 1 1 0 1 0:0 1 0 1 1 1 0 1 0:1/5:1/5:1/5:1/5" "$out"
row smooth "pnmsmooth (3x3)" sh -c "pnmsmooth '$in' > '$out'"
row dither "tamsa image dither 4" "$tamsa" image dither "$in" "$out" 4 -y
row dither "ffmpeg sws_dither=bayer to rgb8" ffmpeg -loglevel error -y -i "$in" \
  -vf "scale=sws_dither=bayer,format=rgb8,format=rgb24" "$out"
row dither "ppmdither (2 levels a channel)" sh -c "ppmdither -red 2 -green 2 -blue 2 '$in' > '$out'"
