#!/usr/bin/env bash
# Configures and builds into a build directory: build.sh DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=$1
shift
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
