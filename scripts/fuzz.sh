#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz, and runs each for a bounded time from its seed corpus: the PPM loader, the
# server's messages, the gateway's request frames, and a client process's frames beside another
# process's pool.
#   fuzz.sh [SECONDS] [fuzzer options...]   SECONDS per target (default 25); the options override
#                                           the defaults (e.g. -max_len=8192)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
seconds=25
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSA_FUZZ=ON -DTAMSA_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)"

# New inputs go to a scratch copy of each corpus; crashes are kept in build-fuzz/artifacts.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in ppm server requests pool; do
  mkdir -p "$work/$target"
  cp tests/fuzz/corpus/"$target"/* "$work/$target"/
  echo "== ${target}_fuzz for ${seconds} s" >&2
  ./build-fuzz/tests/fuzz/"${target}"_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -artifact_prefix=build-fuzz/artifacts/"$target"- "$@" "$work/$target" 2>&1 |
    tee "$work/$target.log" | grep -E '^(==|INFO: -max_total|Done|SUMMARY)|ERROR|check failed' || true
  # The pipe hides the fuzzer's status: a crash leaves no "Done" line.
  grep -q '^Done ' "$work/$target.log" || { tail -40 "$work/$target.log" >&2; exit 1; }
done
