#!/usr/bin/env bash
# Benchmark of many retrievals from one tape (not a test: it prints figures).
#
#   scripts/benchmark_retrieval.sh [OBJECTS] [ASKED] [WORK_DIR]
#       (defaults: 20000 objects, 1000 asked, bench-retrieval/ in the repository)
#
# Builds a cartridge of OBJECTS objects of 100 bytes in one bucket with make_cartridge and makes
# its list files; then retrieves ASKED of them, spread evenly over the tape, twice: with one run of
# --retrieve-list, and with one run per object (-b/-o). Prints for each the wall-clock time and what
# the virtual drive counted (from each run's --report): SCSI commands, stops, moves back and the
# estimated drive time; and the same for a retrieval list of the first object alone, the costs
# every run pays before the objects' own packed objects.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
objects="${1:-20000}"
asked="${2:-1000}"
work="${3:-$root/bench-retrieval}"
reader="$root/build/object_reader"
bucket=bench

scripts/setup.sh object_reader make_cartridge >/dev/null
mkdir -p "$work"
work="$(cd "$work" && pwd)"
rm -rf "${work:?}"/*
mkdir -p "$work/objects/$bucket" "$work/run" "$work/save"
for ((i = 0; i < objects; i++)); do
  printf '%0100d' "$i" >"$work/objects/$bucket/object-$i"
done
"$root/build/make_cartridge" "$work/objects" "$work/cartridge" >/dev/null
(cd "$work/run" && "$reader" -d "$work/cartridge" -F -s "$work/save" -l -q >/dev/null)

# figure REPORT NAME: a figure of the "virtual_drive" member of a --report file.
figure() {
  sed -n 's/.*"virtual_drive":{\([^}]*\)}.*/\1/p' "$1" | tr ',' '\n' |
    awk -F: -v name="\"$2\"" '$1 == name {print $2}'
}
now() { date +%s%N; }
sum() { awk -v a="$1" -v b="$2" 'BEGIN {print a + b}'; }

step=$((objects / asked))
: >"$work/wanted.txt"
for ((i = 0; i < asked; i++)); do
  printf '%s\tobject-%d\n' "$bucket" $((i * step)) >>"$work/wanted.txt"
done

# One run for the whole list.
start="$(now)"
(cd "$work/run" && "$reader" -d "$work/cartridge" -F -s "$work/save" -q \
  --retrieve-list "$work/wanted.txt" --report "$work/list.json" >/dev/null)
list_secs="$(awk -v ns=$(($(now) - start)) 'BEGIN {printf "%.1f", ns / 1e9}')"
written="$(find "$work/save/$bucket" -name '*.data' | wc -l)"
rm -rf "${work:?}/save/$bucket"

# The costs every run pays (cartridge memory, reference partition, the move to the data
# partition): a retrieval list of the first object alone.
head -n 1 "$work/wanted.txt" >"$work/first.txt"
(cd "$work/run" && "$reader" -d "$work/cartridge" -F -s "$work/save" -q \
  --retrieve-list "$work/first.txt" --report "$work/first.json" >/dev/null)
rm -rf "${work:?}/save/$bucket"

# One run per object, the figures summed.
commands=0 stops=0 back=0 drive=0
start="$(now)"
while IFS=$'\t' read -r b key; do
  (cd "$work/run" && "$reader" -d "$work/cartridge" -F -s "$work/save" -q -b "$b" -o "$key" \
    --report "$work/one.json" >/dev/null)
  commands="$(sum "$commands" "$(figure "$work/one.json" commands)")"
  stops="$(sum "$stops" "$(figure "$work/one.json" stops)")"
  back="$(sum "$back" "$(figure "$work/one.json" backward)")"
  drive="$(sum "$drive" "$(figure "$work/one.json" drive_seconds)")"
done <"$work/wanted.txt"
single_secs="$(awk -v ns=$(($(now) - start)) 'BEGIN {printf "%.1f", ns / 1e9}')"

echo "$asked of $objects objects of 100 bytes ($written written by the --retrieve-list run)"
printf '%-28s %9s %9s %7s %6s %9s\n' "job" "seconds" "commands" "stops" "back" "drive s"
printf '%-28s %9s %9s %7s %6s %9.1f\n' "one --retrieve-list run" "$list_secs" \
  "$(figure "$work/list.json" commands)" "$(figure "$work/list.json" stops)" \
  "$(figure "$work/list.json" backward)" "$(figure "$work/list.json" drive_seconds)"
printf '%-28s %9s %9s %7s %6s %9.1f\n' "the first object alone" "-" \
  "$(figure "$work/first.json" commands)" "$(figure "$work/first.json" stops)" \
  "$(figure "$work/first.json" backward)" "$(figure "$work/first.json" drive_seconds)"
printf '%-28s %9s %9s %7s %6s %9.1f\n' "$asked single retrievals" "$single_secs" "$commands" \
  "$stops" "$back" "$drive"
rm -rf "${work:?}"
