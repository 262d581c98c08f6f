#!/usr/bin/env bash
# Builds and runs the tests. With --sanitize, under AddressSanitizer and
# UndefinedBehaviorSanitizer; with --tsan, under ThreadSanitizer; with --plain, built without
# the vector kernels; with --arm64, cross-built for 64-bit ARM and run under qemu-user, once on
# a CPU with SVE and SVE2 and once on one with NEON alone. Each in a build directory of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Python module and its tests, built for Debian's own interpreter (a python3 first on the
# PATH may be another build, without numpy).
python=(-DTAMSA_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3)

if [ "${1:-}" = "--arm64" ]; then
  bash scripts/setup.sh --tests --arm64
  # The vector kernels in the ARM build: ON builds them for NEON, SVE and SVE2. The Python
  # module stays off: there is no arm64 interpreter to load it under the emulator.
  arm64_simd=ON
  # Emulated, a test runs several times slower (SVE most of all): each may take 15 minutes.
  bash scripts/build.sh build-arm64 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64.cmake" \
    -DTAMSA_WERROR=ON -DTAMSA_SIMD=$arm64_simd -DTAMSA_BUILD_TESTS=ON -DTAMSA_BUILD_BENCH=OFF \
    -DTAMSA_SANITIZE=OFF -DTAMSA_TEST_TIMEOUT=900
  for cpu in max cortex-a72; do
    echo "== QEMU_CPU=$cpu" >&2
    start=$(date +%s)
    QEMU_CPU=$cpu ctest --test-dir build-arm64 --output-on-failure --no-tests=error \
      -j "$(nproc)"
    echo "== QEMU_CPU=$cpu: $(($(date +%s) - start)) s" >&2
  done
  # Highway's fixed-width SVE2 target runs only at 128-bit vectors, where max leaves them at 512
  # bits: the kernel tests once more there.
  echo "== QEMU_CPU=max, 128-bit SVE: kernel tests" >&2
  for program in gfx_tests video_tests; do
    QEMU_CPU=max,sve-default-vector-length=16 qemu-aarch64 -L / "build-arm64/tests/$program" \
      --gtest_brief=1
  done
  exit 0
fi

bash scripts/setup.sh --tests

# The ThreadSanitizer build leaves the Python module off: the interpreter's own threads are
# not built with it. The AddressSanitizer build has it, its runtime loaded into the interpreter
# first (python/CMakeLists.txt).
if [ "${1:-}" = "--tsan" ]; then
  bash scripts/build.sh build-tsan -DTAMSA_WERROR=ON -DTAMSA_TSAN=ON -DTAMSA_SANITIZE=OFF \
    -DTAMSA_BUILD_TESTS=ON -DTAMSA_BUILD_BENCH=OFF
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  # The exhaustive single-threaded checks (kernels against their rules over every value) have
  # no threads for it to watch and take minutes each under it: they run in the other builds.
  ctest --test-dir build-tsan --output-on-failure --no-tests=error -j "$(nproc)" \
    -E 'Kernels|EveryColour|Multchunky|WritesOutsideBlocks'
  exit 0
fi

if [ "${1:-}" = "--sanitize" ]; then
  bash scripts/build.sh build-asan -DTAMSA_WERROR=ON -DTAMSA_SANITIZE=ON -DTAMSA_BUILD_TESTS=ON \
    -DTAMSA_BUILD_BENCH=OFF "${python[@]}"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$(nproc)"
  exit 0
fi

if [ "${1:-}" = "--plain" ]; then
  bash scripts/build.sh build-plain -DTAMSA_WERROR=ON -DTAMSA_SIMD=OFF -DTAMSA_BUILD_TESTS=ON \
    -DTAMSA_BUILD_BENCH=OFF "${python[@]}"
  ctest --test-dir build-plain --output-on-failure --no-tests=error -j "$(nproc)"
  exit 0
fi

bash scripts/build.sh build -DTAMSA_WERROR=ON -DTAMSA_BUILD_TESTS=ON -DTAMSA_BUILD_BENCH=ON \
  -DTAMSA_SANITIZE=OFF -DBUILD_SHARED_LIBS=OFF "${python[@]}"
ctest --test-dir build --output-on-failure --no-tests=error -j "$(nproc)"
bash scripts/install_test.sh build
# The module as pip builds it from the clone, into a fresh venv, offline.
bash scripts/pip_test.sh

# The shared library: built alone, then installed and checked the same way.
bash scripts/build.sh build-shared -DTAMSA_WERROR=ON -DBUILD_SHARED_LIBS=ON \
  -DTAMSA_BUILD_TESTS=OFF -DTAMSA_BUILD_BENCH=OFF -DTAMSA_BUILD_TOOLS=OFF
bash scripts/install_test.sh build-shared
