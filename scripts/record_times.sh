#!/usr/bin/env bash
# Times `tamsa record` beside the ffmpeg command that does the same job on the same clip: frames
# as PPM into a pipe, PPM files and PNG files into a directory, and the pipe again through a
# `tamsa serve` reached with --connect. Each pair runs alternately, so that a slow spell of the
# machine hits both; a row is the median of the pairs' ratios, tamsa time / ffmpeg time (below
# 1 is faster). Makes its 4:2:0 clips with ffmpeg: SD (640x480), 720p and 1080p. Needs a build
# of the tools in build/ (or $TAMSA) and ffmpeg on the PATH. TAMSA_CPU=avx2 (or another level)
# holds the tamsa runs to that level of kernels, and ffmpeg to the same instructions.
#   record_times.sh [RUNS] [SD_FRAMES] [HD_FRAMES] [720P_FRAMES]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
sd_frames=${2:-200}
hd_frames=${3:-40}
mid_frames=${4:-80}
tamsa=$(realpath "${TAMSA:-build/tools/tamsa}")
work=$(mktemp -d)
port=times$$
server=""
stop_server() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_server EXIT

ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x480:rate=25 -frames:v "$sd_frames" \
  -pix_fmt yuv420p "$work/sd.y4m"
ffmpeg -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v "$mid_frames" \
  -pix_fmt yuv420p "$work/mid.y4m"
ffmpeg -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v "$hd_frames" \
  -pix_fmt yuv420p "$work/hd.y4m"

"$tamsa" serve --port "$port" -q &
server=$!
# Ready once a run through it goes through.
for _ in $(seq 100); do
  "$tamsa" record --connect "$port" --frames 1 --no-output -q 2>/dev/null && break
  sleep 0.1
done

# The wall time of one shell command, in nanoseconds; a failing command ends the script.
time_ns() {
  local start end
  rm -rf "$work/dir" && mkdir "$work/dir"
  start=$(date +%s%N)
  if ! bash -c "$1" >/dev/null 2>"$work/err"; then
    echo "record_times.sh: failed: $1" >&2
    cat "$work/err" >&2
    exit 1
  fi
  end=$(date +%s%N)
  echo $((end - start))
}

# The median over RUNS alternated pairs of time(first) / time(second), and the medians of each.
ratio() {
  local ratios=() a=() b=()
  for _ in $(seq "$runs"); do
    local x y
    x=$(time_ns "$1")
    y=$(time_ns "$2")
    a+=("$x")
    b+=("$y")
    ratios+=("$(awk -v x="$x" -v y="$y" 'BEGIN { printf "%.3f", x / y }')")
  done
  local mid=$(((runs + 1) / 2))
  printf '%s %s %s\n' \
    "$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "${mid}p")" \
    "$(($(printf '%s\n' "${a[@]}" | sort -n | sed -n "${mid}p") / 1000000))" \
    "$(($(printf '%s\n' "${b[@]}" | sort -n | sed -n "${mid}p") / 1000000))"
}

row() {
  local r
  read -r -a r <<<"$(ratio "$3" "$4")"
  printf '| %-5s | %-28s | %13s | %8s | %9s |\n' "$1" "$2" "${r[0]}" "${r[1]}" "${r[2]}"
}

case "${TAMSA_CPU:-}" in
  "" | avx512vbmi) cpuflags="" ;;
  avx512) cpuflags="-cpuflags -avx512icl" ;;
  avx2) cpuflags="-cpuflags -avx512-avx512icl" ;;
  sse4) cpuflags="-cpuflags -avx-avx2-fma3-fma4-xop-avx512-avx512icl" ;;
  plain) cpuflags="-cpuflags 0" ;;
  *)
    echo "record_times.sh: TAMSA_CPU=$TAMSA_CPU is no x86-64 level ffmpeg can be held to" >&2
    exit 2
    ;;
esac
"$tamsa" --version | sed -n 2p >&2

rec="'$tamsa' record -q --no-progress"
ff="ffmpeg -loglevel error -y $cpuflags"
echo "| clip  | job                          | tamsa/ffmpeg  | tamsa ms | ffmpeg ms |"
echo "|-------|------------------------------|--------------:|---------:|----------:|"
for size in sd mid hd; do
  clip=$work/$size.y4m
  case $size in
    sd) label=SD ;;
    mid) label=720p ;;
    *) label=1080p ;;
  esac
  pipe_ff="$ff -i '$clip' -f image2pipe -c:v ppm - | cat >/dev/null"
  row "$label" "PPM into a pipe" "$rec '$clip' --out - | cat >/dev/null" "$pipe_ff"
  row "$label" "PPM files" "$rec '$clip' --out '$work/dir' -y" \
    "$ff -i '$clip' '$work/dir/frame-%05d.ppm'"
  row "$label" "PNG files" "$rec '$clip' --out '$work/dir' -y --format png" \
    "$ff -i '$clip' '$work/dir/frame-%05d.png'"
  row "$label" "--connect, PPM into a pipe" \
    "$rec '$clip' --connect $port --out - | cat >/dev/null" "$pipe_ff"
  # Not against ffmpeg: the served run against the one in process (tamsa ms is --connect's).
  row "$label" "--connect / in process" \
    "$rec '$clip' --connect $port --out - | cat >/dev/null" \
    "$rec '$clip' --out - | cat >/dev/null"
done
