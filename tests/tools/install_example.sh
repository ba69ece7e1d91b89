#!/usr/bin/env bash
# Installs the library from a build tree into a scratch prefix, then builds
# and runs the README's C example against it twice: through pkg-config and
# through the CMake package. A third argument adds compiler flags (the
# sanitizers of a sanitized build).
set -euo pipefail
build=$1 source=$2 flags=${3:-}
work=$(mktemp -d /tmp/aec_install_XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
awk '/<!-- c-api-example -->/ {found = 1; next}
     found && /^```c/ {inside = 1; next}
     inside && /^```/ {exit}
     inside {print}' "$source/README.md" >"$work/example.c"
test -s "$work/example.c" || { echo "no C example in README.md"; exit 1; }
lib=$work/prefix/lib
export PKG_CONFIG_PATH=$lib/pkgconfig
cc -std=c99 -Wall -Wextra -Werror $flags "$work/example.c" $(pkg-config --cflags --libs ynet_aec) -lm -o "$work/example_pc"
LD_LIBRARY_PATH=$lib "$work/example_pc" | grep -E "^latency [0-9]+ samples, far-end delay (4|5|6)[0-9] ms$"
mkdir "$work/app"
cp "$work/example.c" "$work/app/"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(example C)
find_package(ynet_aec REQUIRED)
add_executable(example example.c)
target_link_libraries(example PRIVATE ynet_aec::ynet_aec m)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build "$work/app/build" >/dev/null
LD_LIBRARY_PATH=$lib "$work/app/build/example" | grep -q "^latency"
echo "installed library, pkg-config and CMake package: example ok"
