#!/usr/bin/env bash
# Cross-builds the Windows x86-64 DLLs and test host with mingw-w64, checks
# the DLLs' export and import tables, builds a second test host for
# Microsoft's C++ ABI with clang and lld, then runs both hosts under wine64 in
# a fresh prefix. Installs nothing (scripts/install-deps.sh does); skips with
# a message when the cross tools or wine are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${YNET_WINDOWS_BUILD:-$root/build/windows}
bin=$build/bin
objdump=x86_64-w64-mingw32-objdump
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

for tool in x86_64-w64-mingw32-g++-posix "$objdump" "$wine" clang++ lld-link llvm-dlltool; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows-check: SKIPPED: $tool is not installed (see scripts/debian-packages-test.txt)"
    exit 0
  fi
done

failed=0
check() {  # check <ok 0/1> <line>
  if [ "$1" -eq 0 ]; then echo "PASS $2"; else echo "FAIL $2"; failed=1; fi
}

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# Export table entries, one line each: "ord N" (address table) and "name X"
# (name pointer table).
exports() {
  "$objdump" -p "$1" | awk '
    /^Export Address Table -- Ordinal Base/ { part = "ord"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { part = "name"; next }
    /^$/ { part = "" }
    part == "ord" && match($0, /\+base\[ *[0-9]+\]/) {
      s = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", s); print "ord " s }
    part == "name" && /^\t\[/ { print "name " $NF }'
}
# Imports: "DLL ordinal N" or "DLL name X", one line each.
imports() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name:/ { dll = $3; next }
    /^$/ && dll != "" && seen { dll = ""; seen = 0 }
    dll != "" && /^\t[0-9a-f]+\t/ {
      seen = 1
      if (length($1) == 16 && substr($1, 1, 1) == "8") print dll " ordinal " ($2 + 0); else print dll " name " $3 }'
}

plugin=$bin/zelta_aiaec.dll
sdk=$bin/zelta_rtc_sdk.dll
host=$bin/win_host.exe

plugin_exports=$(exports "$plugin")
check "$([ -z "$plugin_exports" ]; echo $?)" "zelta_aiaec.dll exports nothing${plugin_exports:+: $plugin_exports}"
sdk_imports=$(imports "$plugin" | grep -i '^zelta_rtc_sdk\.dll ' | sort || true)
check "$([ "$(echo "$sdk_imports" | grep -c ' ordinal ')" -gt 0 ] && ! echo "$sdk_imports" | grep -q ' name '; echo $?)" \
  "zelta_aiaec.dll imports zelta_rtc_sdk.dll by ordinal only: $(echo "$sdk_imports" | awk '{print $2, $3}' | paste -sd, -)"
sdk_exports=$(exports "$sdk" | sort | paste -sd, -)
check "$([ "$sdk_exports" = "ord 6,ord 8,ord 9" ]; echo $?)" "zelta_rtc_sdk.dll exports ordinals 6, 8, 9 and no names: $sdk_exports"

system_dll='^(kernel32|msvcrt|ntdll|advapi32|user32|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
for f in "$plugin" "$sdk" "$host"; do
  dlls=$(imports "$f" | awk '{print $1}' | sort -u | grep -viE "$system_dll|^zelta_rtc_sdk\.dll$" | paste -sd, - || true)
  check "$([ -z "$dlls" ]; echo $?)" "$(basename "$f") imports only system DLLs${dlls:+ (also: $dlls)}"
done

# The host compiled for Microsoft's C++ ABI: freestanding (no C runtime on
# this side), its own zelta_rtc_sdk.dll with the stand-in SDK's ordinals, and
# a copy of the plug-in DLL next to them.
msvc_host=$build/msvc-host
src=$root/tests/windows/msvc_host
mkdir -p "$msvc_host"
msvc_cxx=(clang++ --target=x86_64-pc-windows-msvc -std=c++17 -O2 -ffreestanding -fno-exceptions
  -fno-rtti -fno-stack-protector -mno-stack-arg-probe -Wall -Wextra -Werror -I"$root")
link=(lld-link /nologo /nodefaultlib /machine:x64)
llvm-dlltool -m i386:x86-64 -d "$src/kernel32.def" -l "$msvc_host/kernel32.lib"
for f in runtime sdk host; do "${msvc_cxx[@]}" -c "$src/$f.cpp" -o "$msvc_host/$f.obj"; done
"${link[@]}" /dll /noentry /def:"$root/host/sdk/zelta_rtc_sdk.def" /out:"$msvc_host/zelta_rtc_sdk.dll" \
  /implib:"$msvc_host/zelta_rtc_sdk.lib" "$msvc_host/sdk.obj" "$msvc_host/runtime.obj" "$msvc_host/kernel32.lib"
"${link[@]}" /subsystem:console /entry:hostMain /out:"$msvc_host/msvc_host.exe" "$msvc_host/host.obj" \
  "$msvc_host/runtime.obj" "$msvc_host/zelta_rtc_sdk.lib" "$msvc_host/kernel32.lib"
cp "$plugin" "$msvc_host/"
# The guard of the plug-in's layer registry: still zero when the plug-in's
# first static initializer calls the SDK, unless a layer registered first.
guard=$(x86_64-w64-mingw32-nm "$plugin" | awk '/ _ZGVZN4YNet.*backendMap/ {print $1}')
image_base=$("$objdump" -p "$plugin" | awk '/^ImageBase/ {print $2}')
check "$([ -n "$guard" ]; echo $?)" "zelta_aiaec.dll has the layer registry's guard symbol"
guard_rva=$(printf '%x' $((0x${guard:-0} - 0x$image_base)))

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ynet-wine.XXXXXX")
log=$prefix/win_host.log
cleanup() { WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A fresh prefix reports an old Windows version, which disables AVX in the
# engine's processor check.
timeout 120 "$wine" winecfg -v win10 >/dev/null 2>&1
start=$SECONDS
rc=0
(cd "$bin" && timeout 300 "$wine" win_host.exe "$root/tests/model/golden" >"$log" 2>&1) || rc=$?
grep -E '^(PASS|FAIL|highest tier)' "$log" || true
if [ "$rc" -ne 0 ] && ! grep -q '^FAIL' "$log"; then tail -n 20 "$log"; fi
check "$rc" "win_host.exe under wine64 (exit $rc, $((SECONDS - start)) s)"

start=$SECONDS
rc=0
msvc_log=$prefix/msvc_host.log
(cd "$msvc_host" && timeout 300 "$wine" msvc_host.exe "$root/tests/model/golden" "$guard_rva" \
  >"$msvc_log" 2>&1) || rc=$?
grep -E '^(PASS|FAIL|  )' "$msvc_log" || true
check "$rc" "msvc_host.exe (Microsoft C++ ABI host) under wine64 (exit $rc, $((SECONDS - start)) s)"

[ "$failed" -eq 0 ] && echo "windows-check: all passed" || { echo "windows-check: FAILED"; exit 1; }
