#!/usr/bin/env bash
# Benchmark of a library job on a virtual library (not a test: it prints figures).
#
#   scripts/benchmark_library.sh [WORK_DIR]      (default: bench-library/ in the repository)
#
# Builds a virtual library of 12 cartridges (each OR_BENCH_CARTRIDGE_MIB MiB of objects of 4 MiB,
# default 64) and three drives, then dumps the whole library with 1, 2 and 3 drives. For each it
# prints the wall-clock time and, from the job's --report, the estimated library time (the
# busiest drive's drive time: the drives work at once), the bound it is held to (the
# cartridges' streaming time divided by the drives, plus every move, load and unload) and the
# ratio, the time a perfect sharing of all the drive time among the drives would give, and each
# drive's cartridges, drive time, host rate and host stops.
#
# A virtual cartridge is small beside a real one (a few hundred MiB, not terabytes): its fixed
# costs (load, unload, moves, the job's own positionings) outweigh its streaming time, which
# the figures show.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${1:-$root/bench-library}"
reader="$root/build/object_reader"
maker="$root/build/make_cartridge"
cartridges=12
mib="${OR_BENCH_CARTRIDGE_MIB:-64}"
object_mib=4
fixed_time=2024-06-01T12:00:00.000000Z

echo "== Building (scripts/setup.sh) =="
scripts/setup.sh object_reader make_cartridge >/dev/null

mkdir -p "$work"
work="$(cd "$work" && pwd)"
rm -rf "${work:?}"/*
need_kib=$((2 * cartridges * mib * 1024 + 1048576))
free_kib="$(df -Pk "$work" | awk 'NR == 2 {print $4}')"
if [ "$free_kib" -lt "$need_kib" ]; then
  echo "Not enough free disk space in $work: the benchmark needs about" \
    "$((need_kib / 1048576 + 1)) GiB. Give another WORK_DIR or a smaller OR_BENCH_CARTRIDGE_MIB." >&2
  exit 1
fi

echo "== A library of $cartridges cartridges of $mib MiB =="
mkdir -p "$work/objects/bench" "$work/lib"
for i in $(seq 1 $((mib / object_mib))); do
  head -c $((object_mib * 1048576)) /dev/urandom >"$work/objects/bench/object$i"
done
slots=""
for k in $(seq 1 "$cartridges"); do
  id="$(printf 'BEN%03d' "$k")"
  "$maker" -s "$k" -V "$id" -B "${id}L8" -P Ultrium-8 -t "$fixed_time" "$work/objects" \
    "$work/lib/c$k" >/dev/null
  slots="$slots${slots:+,}\"c$k\""
done
rm -rf "${work:?}/objects"
printf '{"vlibrary": 1, "slots": [%s], "drives": [{"generation": 8}, {"generation": 9}, {"generation": 9}]}\n' \
  "$slots" >"$work/lib/library.json"

# run DRIVES: dumps the library with the first DRIVES drives; prints its figures.
run() {
  local drives=$1 args=() k
  for k in $(seq 0 $((drives - 1))); do args+=(-d "$work/lib/drive$k"); done
  rm -rf "${work:?}/run" "${work:?}/save"
  mkdir -p "$work/run"
  local start end
  start="$(date +%s.%N)"
  (cd "$work/run" && "$reader" --changer "$work/lib" "${args[@]}" -f -F -q --no-progress \
    -s "$work/save" --report "$work/run/library.json" >/dev/null)
  end="$(date +%s.%N)"
  python3 - "$work/run/library.json" "$drives" "$start" "$end" <<'EOF'
import json, sys
report, drives = json.load(open(sys.argv[1])), int(sys.argv[2])
wall = float(sys.argv[4]) - float(sys.argv[3])
lib = report["library"]
estimated, streaming, handling = lib["estimated_seconds"], lib["streaming_seconds"], lib["handling_seconds"]
bound = streaming / drives + handling
shared = sum(d["seconds"] for d in lib["drives"]) / drives
print(f"-- {drives} drive(s): {len(lib['cartridges'])} cartridges in {wall:.1f} s of wall-clock time")
print(f"   estimated library time   {estimated:9.0f} s")
print(f"   bound: streaming {streaming:.1f} s / {drives} + moves, loads, unloads {handling:.0f} s"
      f" = {bound:.0f} s; estimated / bound = {estimated / bound:.2f}"
      + (" (at most 1.15 wanted)" if drives == 3 else ""))
print(f"   all drive time shared perfectly: {shared:.0f} s; estimated / that = {estimated / shared:.2f}")
for d in lib["drives"]:
    print(f"   {d['drive']}: {d['cartridges']} cartridges, {d['seconds']:.0f} s"
          f" ({d['handling_seconds']:.0f} s moving, loading, unloading),"
          f" host {d['host_bytes_per_second'] / 1048576:.1f} MiB/s, {d['host_stops']} host stops")
EOF
}

for drives in 1 2 3; do run "$drives"; done
rm -rf "${work:?}"
