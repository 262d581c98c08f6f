#!/usr/bin/env bash
# The main job: builds, then records the built-in clip (or what the arguments ask for).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build -DTAMSA_BUILD_TESTS=OFF -DTAMSA_BUILD_BENCH=OFF >/dev/null
exec ./build/tools/tamsa record "$@"
