#!/usr/bin/env bash
# Makes the Debian package and checks what it installs. The man pages must render without a
# warning; the package is built in a directory of its own, BUILD_DIR-package (Release, without a
# test or fuzz target), and `cpack -G DEB` there; then its files, stripped programs, man pages and
# changelog compressed with gzip -9n, copyright file, changelog entry, control fields and bash
# completions are checked, and lintian runs on it when it is installed.
#   scripts/check_package.sh [BUILD_DIR]     (default build/; the package in BUILD_DIR-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}-package"
programs=(object_reader tape_image make_cartridge tape_selftest)

status=0
problem() {
  echo "check_package: $*" >&2
  status=1
}

for page in man/*.1; do
  warnings="$(groff -man -ww -z "$page" 2>&1 || true)"
  [ -z "$warnings" ] || problem "$page: $warnings"
done

# Release, with Debian's build flags (dpkg-buildflags: -O2 and the hardening options) in place of
# CMake's -O3.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DOR_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DOR_WERROR="${OR_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
(cd "$build" && rm -f object-reader_*.deb && cpack -G DEB >/dev/null)
deb="$(ls "$build"/object-reader_*.deb)"
echo "check_package: $deb"
contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
echo "$contents" | sed 's/^/  /'
dpkg-deb -f "$deb" Version Maintainer Depends Description | sed 's/^/  /'
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

# The files, and no program beside the four (no test program).
doc=usr/share/doc/object-reader
expected=("$doc/copyright" "$doc/changelog.Debian.gz")
for program in "${programs[@]}"; do
  expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz"
             "usr/share/bash-completion/completions/$program")
done
for file in "${expected[@]}"; do
  grep -qx "\./$file" <<<"$contents" || problem "$file missing"
done
for file in "$root"/usr/bin/*; do
  [[ " ${programs[*]} " == *" $(basename "$file") "* ]] || problem "${file#"$root"/} is no program"
done

# Programs without symbols or debugging sections.
for program in "${programs[@]}"; do
  if readelf -S --wide "$root/usr/bin/$program" | grep -qE '\.symtab|\.debug_'; then
    problem "usr/bin/$program is not stripped"
  fi
done

# Compressed with gzip -9n (compressing the text again gives the same bytes); the man pages as in
# man/.
for program in "${programs[@]}"; do
  gzip -dc "$root/usr/share/man/man1/$program.1.gz" | cmp -s - "man/$program.1" ||
    problem "usr/share/man/man1/$program.1.gz is not man/$program.1"
done
for file in "$root"/usr/share/man/man1/*.gz "$root/$doc/changelog.Debian.gz"; do
  gzip -dc "$file" | gzip -9n | cmp -s - "$file" || problem "${file#"$root"/} is not gzip -9n"
done

# The copyright file in the machine-readable format, naming a holder and a license.
copyright="$root/$doc/copyright"
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  problem "$doc/copyright: not the machine-readable format"
for field in Upstream-Name Files Copyright License; do
  grep -qE "^$field: [^ ]" "$copyright" || problem "$doc/copyright: no $field field"
done

# Version NUMBER-REVISION, a real maintainer, a description of more than its summary line, and
# a changelog whose entry names the same version and maintainer.
version="$(dpkg-deb -f "$deb" Version)"
maintainer="$(dpkg-deb -f "$deb" Maintainer)"
[[ "$version" =~ ^[0-9.]+-[0-9]+$ ]] || problem "Version $version has no Debian revision"
[[ "$maintainer" =~ ^[^@\<]+\ \<[^@\>]+@[a-z0-9.-]+\.[a-z]+\>$ && "$maintainer" != *localhost* ]] ||
  problem "Maintainer $maintainer is no name and mail address"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3 ] || problem "the Description is one line"
changelog="$root/.changelog"
gzip -dc "$root/$doc/changelog.Debian.gz" >"$changelog"
for field in Version Maintainer; do
  value="$(dpkg-parsechangelog -l "$changelog" -S "$field" 2>/dev/null || true)"
  [ "$value" = "$(dpkg-deb -f "$deb" "$field")" ] ||
    problem "$doc/changelog.Debian.gz: $field \"$value\", the package's is another"
done

# Each completion file parses, and (with bash-completion installed) completes its program's
# options: --version everywhere, and one option or command of each program.
completions="$root/usr/share/bash-completion/completions"
for program in "${programs[@]}"; do
  bash -n "$completions/$program" || problem "the completion of $program does not parse"
done
loader=/usr/share/bash-completion/bash_completion
if [ -r "$loader" ]; then
  # A partial word and a completion it must offer.
  for pair in "object_reader --s3-in|--s3-in-flight" "tape_image --no-pro|--no-progress" \
    "make_cartridge --over|--overwrite" "tape_selftest /dev/null read_bl|read_block_limits" \
    "object_reader --vers|--version" "tape_image --vers|--version" \
    "make_cartridge --vers|--version" "tape_selftest --vers|--version"; do
    line="${pair%|*}"
    # shellcheck disable=SC2016  # expanded by the inner shell
    words="$(bash -c 'source "$1"; source "$2/${3%% *}"; COMP_WORDS=($3); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE=$3; COMP_POINT=${#3}; "_${COMP_WORDS[0]}"; echo "${COMPREPLY[*]}"' \
      completion "$loader" "$completions" "$line" 2>&1)"
    [[ " $words " == *" ${pair#*|} "* ]] || problem "completing \"$line\" gives \"$words\""
  done
else
  echo "check_package: bash-completion is not installed: the completions were not tried"
fi

# lintian, when installed (CI does not install it).
if command -v lintian >/dev/null; then
  echo "check_package: lintian"
  # The package is not uploaded to Debian: there is no ITP bug for its changelog to close.
  lintian --info --suppress-tags initial-upload-closes-no-bugs "$deb" | sed 's/^/  /' ||
    problem "lintian has findings"
fi
exit "$status"
