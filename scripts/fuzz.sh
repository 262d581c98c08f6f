#!/usr/bin/env bash
# Builds the PPM loader's fuzz target with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, and runs it for a bounded time from the seed corpus.
# Arguments go to the fuzzer and override the defaults (e.g. -max_total_time=600).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSA_FUZZ=ON -DTAMSA_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)"

# New inputs go to a scratch copy of the corpus; crashes are kept in build-fuzz/artifacts.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/ppm/* "$work"/
mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
./build-fuzz/tests/fuzz/ppm_fuzz -max_total_time=30 -max_len=4096 -timeout=10 \
  -artifact_prefix=build-fuzz/artifacts/ "$@" "$work"
