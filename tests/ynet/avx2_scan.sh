#!/bin/sh
# Usage: avx2_scan.sh OBJECT...   (arguments may also be ;-separated lists)
# Disassembles every object built for AVX or for AVX+FMA (*_avx.cpp.o,
# *_fma.cpp.o; others are ignored) and fails on any instruction that needs
# AVX2: the selectors run those files on processors that may lack it.
# AVX2 brought the 256-bit integer instructions (vp* on ymm; vptest,
# vpermilps/pd and vperm2f128 are AVX), cross-lane permutes, gathers,
# variable shifts, integer broadcasts and inserts, and broadcasts from a
# register.
objdump=${OBJDUMP:-objdump}
set -- $(printf '%s\n' "$@" | tr ';' '\n')
scanned=0
status=0
for obj in "$@"; do
  case "$obj" in *_avx.cpp.o | *_avx.cpp.obj | *_fma.cpp.o | *_fma.cpp.obj) ;; *) continue ;; esac
  scanned=$((scanned + 1))
  hits=$("$objdump" -d --no-show-raw-insn "$obj" | awk -F'\t' '
    NF >= 2 {
      split($2, part, " "); op = part[1]; args = substr($2, length(op) + 1)
      avx2 = op ~ /^(vperm(d|q|ps|pd|2i128)|vinserti128|vextracti128|vpbroadcast|vbroadcasti128|vpblendd|vpmaskmov|vps(ll|rl|ra)v|v(p)?gather)/
      avx2 = avx2 || (op ~ /^vp/ && op !~ /^(vptest|vpermil|vperm2f128)/ && args ~ /%ymm/)
      avx2 = avx2 || (op ~ /^vbroadcasts[sd]$/ && args ~ /^ *%xmm/)
      if (avx2) print "  " $0
    }' | head -n 5)
  if [ -n "$hits" ]; then
    echo "FAIL $obj holds AVX2 instructions:"
    echo "$hits"
    status=1
  fi
done
if [ "$scanned" -eq 0 ]; then
  echo "FAIL no *_avx or *_fma object among the arguments"
  exit 1
fi
[ "$status" -eq 0 ] && echo "PASS $scanned AVX and AVX+FMA objects hold no AVX2 instruction"
exit "$status"
