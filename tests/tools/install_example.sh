#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and uses it as a user would:
# builds and runs the README's C, C++ and Python examples and a program that measures the
# echo reduction (the embedded network against the linear stage alone),
# through pkg-config and through the CMake package; runs the installed
# `aec demo` from an unrelated folder;
# checks that no installed program holds a path of the build machine. A
# third argument adds compiler flags (the sanitizers of a sanitized build).
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) flags=${3:-}
work=$(mktemp -d /tmp/aec_install_XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
# The fenced block of language $2 after the marker <!-- $1 --> in README.md.
extract() {
  awk -v marker="<!-- $1 -->" -v fence="^\`\`\`$2\$" '
    $0 == marker {found = 1; next}
    found && $0 ~ fence {inside = 1; next}
    inside && /^```/ {exit}
    inside {print}' "$source/README.md" >"$3"
  test -s "$3" || { echo "no $1 in README.md"; exit 1; }
}
extract c-api-example c "$work/example.c"
extract cpp-api-example cpp "$work/example.cpp"
extract python-example python "$work/example.py"
cp "$source/tests/tools/install_erle.c" "$work/erle.c"
lib=$prefix/lib
export PKG_CONFIG_PATH=$lib/pkgconfig

# The network must take the echo well past the linear stage.
check_erle() {
  LD_LIBRARY_PATH=$lib "$1" | awk '/^ERLE/ {print; ok = $2 > 40 && $2 > $6 + 15} END {exit !ok}' ||
    { echo "$1: the installed library does not cancel beyond the linear stage"; exit 1; }
}

for program in example erle; do
  cc -std=c99 -Wall -Wextra -Werror $flags "$work/$program.c" $(pkg-config --cflags --libs ynet_aec) -lm \
     -o "$work/${program}_pc"
done
LD_LIBRARY_PATH=$lib "$work/example_pc" | grep -E "^latency [0-9]+ samples, far-end delay (4|5|6)[0-9] ms$"
c++ -std=c++17 -Wall -Wextra -Werror $flags "$work/example.cpp" $(pkg-config --cflags --libs ynet_aec) -o "$work/example_cpp"
LD_LIBRARY_PATH=$lib "$work/example_cpp" | grep -E "^latency [0-9]+ samples, far-end delay (4|5|6)[0-9] ms$"
check_erle "$work/erle_pc"

mkdir "$work/app"
cp "$work/example.c" "$work/erle.c" "$work/app/"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(example C)
find_package(ynet_aec REQUIRED)
foreach(program example erle)
  add_executable(${program} ${program}.c)
  target_link_libraries(${program} PRIVATE ynet_aec::ynet_aec m)
endforeach()
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build "$work/app/build" >/dev/null
LD_LIBRARY_PATH=$lib "$work/app/build/example" | grep -q "^latency"
check_erle "$work/app/build/erle"
echo "installed library, pkg-config and CMake package: example and echo reduction ok"

# The installed tool finds its clips from its own place, wherever it runs.
mkdir "$work/elsewhere"
(cd "$work/elsewhere" && "$prefix/bin/aec" demo >"$work/demo.txt")
grep -q '^mask: *embedded network' "$work/demo.txt"
awk '/^echo reduction:/ {ok = $3 > 40} END {exit !ok}' "$work/demo.txt" ||
  { cat "$work/demo.txt"; echo "installed aec demo: echo not removed"; exit 1; }
test -s "$work/elsewhere/aec-demo/out.wav"
test -s "$prefix/share/man/man1/aec.1"
echo "installed aec demo from another folder: $(grep '^echo reduction' "$work/demo.txt")"

# The README's Python example, on the demo's files (the module is not built
# in a sanitized build).
module=$(find "$prefix/lib" -name 'ynet_aec.cpython-*.so')
if [ -n "$module" ]; then
  (cd "$work/elsewhere" && PYTHONPATH=$(dirname "$module") /usr/bin/python3 "$work/example.py" >"$work/python.txt")
  grep -E "^latency [0-9]+ samples, far-end delay (4|5|6)[0-9] ms$" "$work/python.txt"
  test -s "$work/elsewhere/clean.wav"
  echo "installed Python module: README example ok"
fi

# Nothing installed may depend on this build tree (debug sections aside; the
# sanitizers' own tables name every source file, so not in that build).
[ -n "$flags" ] && exit 0
while IFS= read -r file; do
  strip -o "$work/stripped" "$file"
  if grep -qF -e "$build" -e "$source" "$work/stripped"; then
    echo "$file refers to the build machine's tree"; exit 1
  fi
done < <(find "$prefix" -type f \( -perm -u+x -o -name '*.so*' \))
echo "installed programs and libraries hold no build path"
