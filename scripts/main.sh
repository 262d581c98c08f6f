#!/usr/bin/env bash
# The main job: builds, then records the built-in clip (or what the arguments ask for). Runs from
# any directory: the build stays in the repository, and clip and --out paths are taken from
# where it is run. Without --out the frames go to out/, the job's own directory, which each run
# replaces; a directory given with --out is never cleared unasked.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ ! -x "$repo/build/tools/tamsa" ]; then
  echo "building... (the first time takes a minute or so)" >&2
fi
bash "$repo/scripts/build.sh" build -DTAMSA_BUILD_TESTS=OFF -DTAMSA_BUILD_BENCH=OFF >/dev/null
own_out=(--overwrite)
for a in "$@"; do
  case "$a" in
    --out | --out=* | --no-output) own_out=() ;;
  esac
done
exec "$repo/build/tools/tamsa" record "$@" "${own_out[@]}"
