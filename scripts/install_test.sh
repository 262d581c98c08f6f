#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a C program against it twice: through the
# CMake package and through pkg-config.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/prefix" >/dev/null
test -f "$root/prefix/include/tamsa/tamsa.h"
test ! -e "$root/prefix/include/tamsa/internal.h"

mkdir -p "$root/consumer"
cat > "$root/consumer/main.c" <<'C'
#include <tamsa/tamsa.h>
#include <stdio.h>
int main(void) {
    kv_bitmap *b = kv_allocbitmap(4, 2, 3);
    kv_bitmap *c = kv_clonebitmap(b);
    int ok = b != NULL && c != NULL && kv_copybitmap(b, c) == 1;
    kv_freebitmap(c);
    kv_freebitmap(b);
    uint64_t blocks = 1;
    tamsa_alloc_stats(&blocks, NULL);
    printf("%s\n", ok && blocks == 0 ? "ok" : "failed");
    return ok && blocks == 0 ? 0 : 1;
}
C
cat > "$root/consumer/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
find_package(tamsa CONFIG REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE tamsa::tamsa)
C
cmake -S "$root/consumer" -B "$root/consumer/build" -DCMAKE_PREFIX_PATH="$root/prefix" >/dev/null
cmake --build "$root/consumer/build" >/dev/null
"$root/consumer/build/consumer"

PKG_CONFIG_PATH="$root/prefix/lib/pkgconfig" cc "$root/consumer/main.c" -o "$root/consumer/pc" \
  $(PKG_CONFIG_PATH="$root/prefix/lib/pkgconfig" pkg-config --cflags --libs tamsa)
"$root/consumer/pc"
echo "install layout: ok"
