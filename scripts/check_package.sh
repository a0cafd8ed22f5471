#!/usr/bin/env bash
# Checks what an install gives: the man pages render without a warning, and `cpack -G DEB` makes a
# Debian package of the programs and man pages (its files and dependencies are listed).
#   scripts/check_package.sh [BUILD_DIR]     (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

status=0
for page in man/*.1; do
  warnings="$(groff -man -ww -z "$page" 2>&1 || true)"
  if [ -n "$warnings" ]; then
    echo "check_package: $page: $warnings" >&2
    status=1
  fi
done

(cd "$build" && rm -f object-reader_*.deb && cpack -G DEB >/dev/null 2>&1)
deb="$(ls "$build"/object-reader_*.deb)"
echo "check_package: $deb"
contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
echo "$contents" | sed 's/^/  /'
echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
for file in usr/bin/object_reader usr/bin/make_cartridge usr/bin/tape_selftest \
  usr/bin/tape_image usr/share/man/man1/object_reader.1 usr/share/man/man1/tape_image.1; do
  grep -qx "\./$file" <<<"$contents" || { echo "check_package: $file missing" >&2; status=1; }
done
exit "$status"
