#!/usr/bin/env bash
# Installs the Debian packages the build needs that this machine lacks. With --tests, or with
# --python, it also installs what the Python module needs: pybind11, numpy and pytest for
# Debian's own python3 (/usr/bin/python3), the interpreter the module is built for, and pip,
# venv, setuptools and wheel, which `pip install .` builds it with. With --tests
# it also tries to install ffmpeg, which one test compares the conversion with; that test is skipped
# when ffmpeg cannot be had. With --arm64 it installs the cross compiler for 64-bit ARM, the
# arm64 builds of the libraries and qemu-user to run the tests (cmake/aarch64.cmake).
set -euo pipefail

tests=0
arm64=0
python=0
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 python=1 ;;
    --python) python=1 ;;
    --arm64) arm64=1 ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

# GStreamer's development files build the plugin (gstreamer-check, for its tests, comes with
# libgstreamer1.0-dev); its tools and base plugins run the pipelines the tests and the bench
# compare with. libjpeg's own API builds the bench's yardstick for whole-command JPEG timings.
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libhwy-dev
          libturbojpeg0-dev libjpeg62-turbo-dev libavformat-dev libavcodec-dev libavutil-dev clang
          libclang-rt-14-dev clang-format libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
          gstreamer1.0-plugins-base)
# libc6:arm64 brings the loader the emulated programs run with (see cmake/aarch64.cmake).
arm64_packages=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libhwy-dev:arm64 libgtest-dev:arm64
                libgmock-dev:arm64 libpng-dev:arm64 libturbojpeg0-dev:arm64 libavformat-dev:arm64
                libavcodec-dev:arm64 libavutil-dev:arm64)
python_packages=(python3-dev pybind11-dev python3-numpy python3-pytest python3-pip python3-venv
                 python3-setuptools python3-wheel)
[ "$arm64" -eq 1 ] && packages+=("${arm64_packages[@]}")
[ "$python" -eq 1 ] && packages+=("${python_packages[@]}")

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
  if [ "$arm64" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    # The arm64 package lists come only with the architecture, so they are fetched at once.
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update
  fi
  echo "installing: ${missing[*]}" >&2
  install "${missing[@]}"
fi

if [ "$tests" -eq 1 ] && ! command -v ffmpeg >/dev/null; then
  install ffmpeg >/dev/null 2>&1 ||
    echo "ffmpeg could not be installed; the comparison with it will be skipped" >&2
fi
exit 0
