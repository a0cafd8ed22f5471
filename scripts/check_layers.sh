#!/usr/bin/env bash
# Checks on a build that no layer of the program calls a layer above it: every symbol a layer's
# objects leave undefined is defined in that layer, in a layer below it, or outside the program
# (system and third-party libraries).
#   scripts/check_layers.sh [BUILD_DIR]     (default: build)
# Exits 1 and names each call upwards (the calling object, the symbol and the layer defining it).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build_dir=${1:-build}

# Lowest first; a library may use those before it in its line.
layers=(or_support or_vdrive or_scsi or_format or_walk or_driver)
# Libraries beside the layers, with the layers they may use.
declare -A side=([cartbuild]="or_support or_vdrive" [or_s3]="or_support")
# Libraries beside the layers that a layer, and every layer above it, may use.
declare -A used_from=([or_walk]="or_s3")

libs=("${layers[@]}" "${!side[@]}")
for lib in "${libs[@]}"; do
  if [ ! -f "$build_dir/lib$lib.a" ]; then
    echo "check_layers: $build_dir/lib$lib.a is missing; build first" >&2
    exit 2
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Strong definitions (weak ones are inline functions and templates, defined wherever used).
for lib in "${libs[@]}"; do
  nm -g --defined-only -P "$build_dir/lib$lib.a" 2>/dev/null |
    awk -v lib="$lib" 'NF >= 2 && $2 ~ /^[TDBRG]$/ { print $1, lib }'
done | sort -u >"$work/defined"

status=0
check() {  # library, the libraries it may use (itself included)
  local lib=$1 allowed=" $2 "
  nm -u -A -P "$build_dir/lib$lib.a" 2>/dev/null |
    awk '{ member = $1; sub(/:$/, "", member); sub(/.*\[/, "", member); sub(/\]$/, "", member);
           print $2, member }' | sort -u >"$work/undefined"
  join "$work/undefined" "$work/defined" >"$work/joined" || true
  while read -r symbol member owner; do
    case "$allowed" in *" $owner "*) continue ;; esac
    echo "$lib: $member calls $(echo "$symbol" | c++filt) of $owner"
    status=1
  done <"$work/joined"
}

below=""
for lib in "${layers[@]}"; do
  below="$below $lib ${used_from[$lib]:-}"
  check "$lib" "$below"
done
for lib in "${!side[@]}"; do
  check "$lib" "$lib ${side[$lib]}"
done

if [ "$status" -eq 0 ]; then
  echo "check_layers: no layer calls one above it (${layers[*]}; beside them: ${!side[*]})"
fi
exit "$status"
