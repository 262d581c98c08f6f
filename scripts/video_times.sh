#!/usr/bin/env bash
# Times `tamsa record` on video files beside the ffmpeg command that does the same job on the
# same MP4 clip (H.264 4:2:0 made by ffmpeg at 720p and 1080p): the clip into an FFV1 MKV of its
# RGB, and the clip resized to 640x360 (nearest neighbour) into an H.264 MP4 with x264's default
# settings on both sides. Pairs run alternately; a row is the median of the pairs' ratios,
# tamsa time / ffmpeg time (below 1 is faster), then each side's median time and peak RSS (of
# the last pair, by /usr/bin/time when it is there). Needs a build of the tools in build/ (or
# $TAMSA) and ffmpeg on the PATH.
#   video_times.sh [RUNS] [720P_FRAMES] [1080P_FRAMES]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
mid_frames=${2:-80}
hd_frames=${3:-40}
tamsa=$(realpath "${TAMSA:-build/tools/tamsa}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v "$mid_frames" \
  -pix_fmt yuv420p -c:v libx264 "$work/mid.mp4"
ffmpeg -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v "$hd_frames" \
  -pix_fmt yuv420p -c:v libx264 "$work/hd.mp4"

# The wall time of one shell command in nanoseconds, and its peak RSS in kB into $work/rss; a
# failing command ends the script.
time_ns() {
  local start end
  start=$(date +%s%N)
  if [ -x /usr/bin/time ]; then
    if ! /usr/bin/time -f %M -o "$work/rss" bash -c "$1" >/dev/null 2>"$work/err"; then
      echo "video_times.sh: failed: $1" >&2
      cat "$work/err" >&2
      exit 1
    fi
  elif ! bash -c "$1" >/dev/null 2>"$work/err"; then
    echo "video_times.sh: failed: $1" >&2
    cat "$work/err" >&2
    exit 1
  fi
  end=$(date +%s%N)
  echo $((end - start))
}

row() {
  local ratios=() a=() b=() rss_a=- rss_b=-
  for _ in $(seq "$runs"); do
    local x y
    x=$(time_ns "$3")
    [ -f "$work/rss" ] && rss_a=$(($(cat "$work/rss") / 1024))
    y=$(time_ns "$4")
    [ -f "$work/rss" ] && rss_b=$(($(cat "$work/rss") / 1024))
    a+=("$x")
    b+=("$y")
    ratios+=("$(awk -v x="$x" -v y="$y" 'BEGIN { printf "%.3f", x / y }')")
  done
  local mid=$(((runs + 1) / 2))
  printf '| %-5s | %-24s | %12s | %8s | %9s | %8s | %9s |\n' "$1" "$2" \
    "$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "${mid}p")" \
    "$(($(printf '%s\n' "${a[@]}" | sort -n | sed -n "${mid}p") / 1000000))" \
    "$(($(printf '%s\n' "${b[@]}" | sort -n | sed -n "${mid}p") / 1000000))" "$rss_a" "$rss_b"
}

rec="'$tamsa' record -q --no-progress -y"
ff="ffmpeg -loglevel error -y"
echo "| clip  | job                      | tamsa/ffmpeg | tamsa ms | ffmpeg ms | tamsa MB | ffmpeg MB |"
echo "|-------|--------------------------|-------------:|---------:|----------:|---------:|----------:|"
for size in mid hd; do
  clip=$work/$size.mp4
  label=$([ $size = mid ] && echo 720p || echo 1080p)
  row "$label" "MP4 to FFV1 MKV" "$rec '$clip' --out '$work/t.mkv'" \
    "$ff -i '$clip' -c:v ffv1 -pix_fmt bgr0 '$work/f.mkv'"
  row "$label" "MP4 to 640x360 MP4" "$rec '$clip' --scale 640x360 --out '$work/t.mp4'" \
    "$ff -i '$clip' -vf scale=640:360:flags=neighbor -c:v libx264 '$work/f.mp4'"
done
