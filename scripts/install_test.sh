#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a C program against it twice: through the
# CMake package and through pkg-config; then builds and runs the README's client example; where
# the build has the Python module, imports it from where it was installed; runs a video job from
# the install moved elsewhere. For a shared library it also checks that the library exports
# exactly the functions and tables the installed headers declare.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/prefix" >/dev/null
prefix=$root/prefix
libdir=$(find "$prefix" -name 'libtamsa.*' -printf '%h\n' | head -n 1)
test -f "$prefix/include/tamsa/tamsa.h"
test -f "$prefix/include/tamsa/client.h"
test "$(find "$prefix/include" -type f | wc -l)" -eq 2

shared=no
if ls "$libdir"/libtamsa.so* >/dev/null 2>&1; then
  shared=yes
  # Every exported name is declared in an installed header, and the reverse.
  nm -D --defined-only "$libdir/libtamsa.so" | awk '{print $3}' | sort -u > "$root/exported"
  grep -h 'TAMSA_API' "$prefix/include/tamsa/"*.h | grep -v '#define' |
    sed -E 's/\(.*//; s/\[.*//; s/;.*//' | awk '{print $NF}' | tr -d '*' | sort -u > "$root/declared"
  if ! diff -u "$root/declared" "$root/exported"; then
    echo "install layout: the shared library's exports differ from the headers" >&2
    exit 1
  fi
fi

mkdir -p "$root/consumer"
cat > "$root/consumer/main.c" <<'C'
#include <tamsa/tamsa.h>
#include <tamsa/client.h>
#include <stdio.h>
/* client.h's list of message ids expands in C. */
#define NAME(name, words, answer) #name,
static const char *const names[] = {TAMSA_MESSAGES(NAME)};
int main(void) {
    kv_bitmap *b = kv_allocbitmap(4, 2, 3);
    kv_bitmap *c = kv_clonebitmap(b);
    int ok = b != NULL && c != NULL && kv_copybitmap(b, c) == 1;
    kv_freebitmap(c);
    kv_freebitmap(b);
    uint64_t blocks = 1;
    tamsa_alloc_stats(&blocks, NULL);
    ok = ok && blocks == 0;
    ok = ok && tamsa_version() == TAMSA_VERSION_MAJOR * 10000 + TAMSA_VERSION_MINOR * 100 +
                                      TAMSA_VERSION_PATCH;
    ok = ok && sizeof names / sizeof names[0] == TAMSA_OP_COUNT;
    ok = ok && tamsa_set_threads(1) == 1 && tamsa_threads() == 1 && tamsa_set_threads(0) == 1 &&
         tamsa_threads() >= 1 && tamsa_threads_setting() >= TAMSA_THREADS_UNSET;
    printf("%s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
C
cat > "$root/consumer/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
find_package(tamsa CONFIG REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE tamsa::tamsa)
C
cmake -S "$root/consumer" -B "$root/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$root/consumer/build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$root/consumer/build/consumer"

# A static library brings its C++ runtime along only when asked for its private libraries.
static_flag=--static
[ "$shared" = yes ] && static_flag=
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$root/consumer/main.c" -o "$root/consumer/pc" $(pkg-config --cflags --libs $static_flag tamsa)
LD_LIBRARY_PATH="$libdir" "$root/consumer/pc"

# The README's client example, exactly as written there: the first C block of its section.
readme=$(dirname "$0")/../README.md
awk '/^### The client API in C$/ { section = 1; next }
     section && /^```c$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" > "$root/consumer/example.c"
test -s "$root/consumer/example.c"
cc -Wall -Wextra -Werror "$root/consumer/example.c" -o "$root/consumer/example" \
  $(pkg-config --cflags --libs $static_flag tamsa)
printed=$(LD_LIBRARY_PATH="$libdir" "$root/consumer/example")
if [ "$printed" != "4x1, first pixel: red 253, green 0, blue 0" ]; then
  echo "install layout: the README's client example printed: $printed" >&2
  exit 1
fi
# The Python module lands with its stub in a directory Debian's python3 searches under the
# prefix (/usr and /usr/local); here that prefix is the scratch one.
module=$(find "$prefix" -name 'tamsa.cpython-*.so' | head -n 1)
if [ -n "$module" ]; then
  test -f "$(dirname "$module")/tamsa.pyi"
  case "$module" in
    "$prefix"/lib/python3.*/dist-packages/*) ;;
    *) echo "install layout: the Python module went to $module" >&2; exit 1 ;;
  esac
  printed=$(cd "$root" && PYTHONPATH="$(dirname "$module")" /usr/bin/python3 -c '
import numpy, tamsa
picture = numpy.arange(6, dtype=numpy.uint8).reshape(2, 3)
print(tamsa.__file__.startswith("'"$prefix"'"), tamsa.transpose(picture).tolist())')
  if [ "$printed" != "True [[0, 3], [1, 4], [2, 5]]" ]; then
    echo "install layout: the installed Python module printed: $printed" >&2
    exit 1
  fi
  # The README's Python example, exactly as written there, on a picture of 80 x 60.
  awk '/^### From Python$/ { section = 1; next }
       section && /^```python$/ { inside = 1; next }
       inside && /^```$/ { exit }
       inside { print }' "$readme" > "$root/example.py"
  test -s "$root/example.py"
  (cd "$root" && PYTHONPATH="$(dirname "$module")" /usr/bin/python3 -c '
import numpy, tamsa
tamsa.save("in.jpg", numpy.full((60, 80, 3), 128, numpy.uint8))' &&
    PYTHONPATH="$(dirname "$module")" /usr/bin/python3 example.py &&
    PYTHONPATH="$(dirname "$module")" /usr/bin/python3 -c '
import tamsa
out = tamsa.load("out.png")
assert out.shape == (240, 320, 3) and (out == (255, 0, 0)).all(axis=2).any()
assert tamsa.load("out.jpg").shape == (80, 60, 3)')
fi
# The GStreamer plugin, where the build has it: under LIBDIR/gstreamer-1.0, where
# gst-inspect-1.0 finds it for a /usr prefix (GST_PLUGIN_PATH here), each property documented.
plugin=$(find "$prefix" -name 'libgsttamsa.so' | head -n 1)
if [ -n "$plugin" ]; then
  if [ "$(dirname "$plugin")" != "$libdir/gstreamer-1.0" ]; then
    echo "install layout: the GStreamer plugin went to $plugin" >&2
    exit 1
  fi
  GST_PLUGIN_PATH="$(dirname "$plugin")" GST_REGISTRY="$root/gst-registry.bin" \
    gst-inspect-1.0 tamsaconvert > "$root/inspect.txt"
  for property in contrast brightness invert deinterlace remap port stats; do
    if ! grep -q "^  $property *:" "$root/inspect.txt"; then
      echo "install layout: gst-inspect-1.0 tamsaconvert does not show $property" >&2
      exit 1
    fi
  done
fi
# The command and its video module: the command links no libav library itself and finds the
# module from its own place, under LIBDIR/tamsa, so that the install may move.
command=$prefix/bin/tamsa
if [ -x "$command" ]; then
  if readelf -d "$command" | grep -E 'NEEDED.*lib(avcodec|avformat|avutil)'; then
    echo "install layout: the command links libav itself" >&2
    exit 1
  fi
  video_module=$(find "$prefix" -name 'tamsa_video.so' | head -n 1)
  if [ "$(dirname "$video_module")" != "$libdir/tamsa" ]; then
    echo "install layout: the video module went to '$video_module'" >&2
    exit 1
  fi
  mv "$prefix" "$root/moved"
  moved=$root/moved/bin/tamsa
  (cd "$root" && "$moved" record --frames 3 --size 32x24 --out clip.mp4 -q &&
    "$moved" record clip.mp4 --out back.y4m > video.txt 2>&1)
  if ! grep -q '^recorded 3 frames of 32x24' "$root/video.txt"; then
    echo "install layout: a video job from the moved install said: $(cat "$root/video.txt")" >&2
    exit 1
  fi
  mv "$root/moved" "$prefix"
fi
echo "install layout ($([ "$shared" = yes ] && echo shared || echo static)): ok"
