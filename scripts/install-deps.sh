#!/usr/bin/env bash
# Installs the Debian packages the project needs: `install-deps.sh run` those
# for building the `aec` tool and running its demo (debian-packages-run.txt),
# `install-deps.sh test` (the default) those and everything the tests,
# benchmarks, evaluation and training use (debian-packages-test.txt).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
case "${1:-test}" in
  run) lists=("$here/debian-packages-run.txt") ;;
  test) lists=("$here/debian-packages-run.txt" "$here/debian-packages-test.txt") ;;
  *) echo "usage: install-deps.sh [run|test]" >&2; exit 2 ;;
esac
mapfile -t pkgs < <(cat "${lists[@]}" | grep -v '^\s*\(#\|$\)')
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
