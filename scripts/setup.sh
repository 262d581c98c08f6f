#!/usr/bin/env bash
# Installs the Debian packages the build needs that this machine lacks. With --tests it also
# tries to install ffmpeg, which one test compares the conversion with; that test is skipped
# when ffmpeg cannot be had.
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libhwy-dev
          clang libclang-rt-14-dev clang-format)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# Installs its arguments, refreshing the package lists once if the first try fails.
install() {
  $sudo apt-get install -y --no-install-recommends "$@" ||
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "$@"; }
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  install "${missing[@]}"
fi

if [ "${1:-}" = "--tests" ] && ! command -v ffmpeg >/dev/null; then
  install ffmpeg >/dev/null 2>&1 ||
    echo "ffmpeg could not be installed; the comparison with it will be skipped" >&2
fi
exit 0
