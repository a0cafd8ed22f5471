#!/usr/bin/env bash
# Installs what object_reader needs on a Debian machine (when it is missing) and builds it.
#   scripts/setup.sh [--sanitize] [TARGET...]
# Plain build: build/ (the program is build/object_reader).
# Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer): build-asan/.
# TARGETs (for example object_reader make_cartridge) build only those; default: everything.
# OR_WERROR=ON in the environment makes every compiler warning an error (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

# time: /usr/bin/time, for the peak memory figure of scripts/benchmark.sh; groff-base and
# dpkg-dev: the man page check and the Debian package (scripts/check_package.sh).
packages=(g++ cmake make pkg-config libgtest-dev libjson-c-dev uuid-dev libssl-dev time groff-base
          dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing; run this script as root to install them: ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-asan
  cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DOR_SANITIZE=ON)
  shift
fi
cmake_args+=(-DOR_WERROR="${OR_WERROR:-OFF}")
targets=()
[ "$#" -gt 0 ] && targets=(--target "$@")
cmake -S . -B "$build_dir" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
