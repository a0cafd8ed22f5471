#!/usr/bin/env bash
# Builds everything (program, tools, tests) in every build type with every compiler, warnings as
# errors, one after the other, each in its own directory under build-matrix/ (or OUT_DIR):
#   scripts/build_matrix.sh [--test] [OUT_DIR]
# Build types: Release, RelWithDebInfo, Debug. Compilers: g++ and clang++ (installed from Debian
# when missing and run as root). --test also runs the unit tests of each build.
# Prints one line per combination and exits 1 when any of them failed; the compiler output of a
# failed build is in OUT_DIR/<type>-<compiler>.log. About 11 minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=no
if [ "${1:-}" = "--test" ]; then
  run_tests=yes
  shift
fi
out_dir=${1:-build-matrix}
mkdir -p "$out_dir"

if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang
  else
    echo "clang++ is missing; run this script as root to install it (Debian package clang)" >&2
    exit 1
  fi
fi

failed=0
for compiler in g++ clang++; do
  for type in Release RelWithDebInfo Debug; do
    name="$type-${compiler%++}"
    [ "$compiler" = "g++" ] && name="$type-gcc"
    dir="$out_dir/$name"
    log="$out_dir/$name.log"
    start=$SECONDS
    result=ok
    if ! { CXX=$compiler cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DOR_WERROR=ON &&
      cmake --build "$dir" -j"$(nproc)"; } >"$log" 2>&1; then
      result=FAILED
    elif [ "$run_tests" = yes ] &&
      ! "$dir/unit_tests" --gtest_brief=1 >>"$log" 2>&1; then
      result="unit tests FAILED"
    fi
    [ "$result" = ok ] || failed=1
    printf '%-22s %-20s %4ds\n' "$name" "$result" $((SECONDS - start))
  done
done
exit "$failed"
