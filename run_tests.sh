#!/usr/bin/env bash
# Builds object_reader (installing what it needs) and runs the whole test suite.
#   ./run_tests.sh             plain build in build/
#   ./run_tests.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# With OR_WERROR=ON in the environment compiler warnings are errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh "$@"
build_dir=build
[ "${1:-}" = "--sanitize" ] && build_dir=build-asan
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
