#!/usr/bin/env bash
# Builds object_reader (installing what it needs) and runs the whole test suite.
#   ./run_tests.sh             plain build in build/
#   ./run_tests.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   ./run_tests.sh --s3        plain build, then the S3 tests alone (CTest label s3) against a
#                              local store that scripts/s3-server.sh starts before them and stops
#                              after them; the other two runs leave these tests out
# With OR_WERROR=ON in the environment compiler warnings are errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"
if [ "${1:-}" = "--s3" ]; then
  scripts/setup.sh --s3
  store=$(mktemp -d "${TMPDIR:-/tmp}/or-s3-store.XXXXXX")
  trap 'scripts/s3-server.sh stop "$store"; rm -rf "$store"' EXIT
  # Assigned first, so that a store that does not start stops this script (an eval of a
  # failed substitution would not).
  variables=$(scripts/s3-server.sh start "$store")
  eval "$variables"
  ctest --test-dir build --output-on-failure -j"$(nproc)" -L s3
  exit 0
fi
scripts/setup.sh "$@"
build_dir=build
[ "${1:-}" = "--sanitize" ] && build_dir=build-asan
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" -LE s3
