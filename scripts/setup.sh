#!/usr/bin/env bash
# Installs what object_reader needs on a Debian machine (when it is missing) and builds it.
#   scripts/setup.sh [--s3] [--sanitize | --fuzz] [TARGET...]
# Plain build: build/ (the program is build/object_reader).
# Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer): build-asan/.
# Fuzz build (clang, libFuzzer and both sanitizers; scripts/fuzz.sh uses it): build-fuzz/.
# --s3 (or OR_S3_STORE=1 in the environment) also installs the local S3 store that
# scripts/s3-server.sh runs (OpenStack Swift with s3api, about 50 MB), for the S3 tests, and the
# aws command when there is none (Debian's awscli), for scripts/benchmark_s3_rerun.sh.
# TARGETs (for example object_reader make_cartridge) build only those; default: everything.
# OR_WERROR=ON in the environment makes every compiler warning an error (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

with_store=${OR_S3_STORE:-0}
if [ "${1:-}" = "--s3" ]; then
  with_store=1
  shift
fi

# time: /usr/bin/time, for the peak memory figure of scripts/benchmark.sh; groff-base, dpkg-dev
# and bash-completion: the man page check, the Debian package and the try of its completions
# (scripts/check_package.sh); libcurl4-openssl-dev: the S3 client (requests signed with AWS
# Signature Version 4); python3-jsonschema: the test report_schema checks the tests' reports
# against schema/.
packages=(g++ cmake make pkg-config libgtest-dev libjson-c-dev uuid-dev libssl-dev time groff-base
          dpkg-dev bash-completion libcurl4-openssl-dev python3-jsonschema)
# clang and libclang-rt-14-dev: libFuzzer and the sanitizers' runtime of the fuzz build.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [ "$with_store" = 1 ]; then
  packages+=(swift swift-proxy swift-object swift-container swift-account memcached curl)
  # awscli: the client scripts/benchmark_s3_rerun.sh compares with, unless an aws command is
  # installed already (another way than Debian's package, or a newer one).
  command -v aws >/dev/null || packages+=(awscli)
fi
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
elif [ "${1:-}" = "--fuzz" ]; then
  build_dir=build-fuzz
  cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DOR_FUZZ=ON)
  shift
fi
cmake_args+=(-DOR_WERROR="${OR_WERROR:-OFF}")
targets=()
[ "$#" -gt 0 ] && targets=(--target "$@")
cmake -S . -B "$build_dir" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
