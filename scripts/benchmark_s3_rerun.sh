#!/usr/bin/env bash
# Benchmark of a restore into an S3 store run again with nothing to do, beside `aws s3 sync` with
# nothing to do (not a test: it prints figures).
#
#   scripts/benchmark_s3_rerun.sh [OBJECTS] [WORK_DIR]
#       (defaults: 5000 objects, bench-s3-rerun/ in the repository)
#
# Builds a cartridge of OBJECTS small objects in one bucket (make_cartridge), restores it into the
# store (object_reader -f --s3), dumps it to files (-f -s), and syncs the data files of that dump
# into another bucket (aws s3 sync), so that both hold the same objects. Then times, RUNS times
# each: (a) the same restore again, which finds every object there, and (b) the same sync again,
# which finds every file there; and prints each time, the medians and their ratio (a) / (b).
# The store is the one OR_S3_ENDPOINT names (with the credentials in the environment), else a local
# one that scripts/s3-server.sh starts in WORK_DIR (OR_S3_PORT chooses its ports). It needs the
# `aws` command (scripts/setup.sh --s3 installs Debian's awscli when there is none). WORK_DIR is
# emptied at the start and at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
objects="${1:-5000}"
work="${2:-$root/bench-s3-rerun}"
reader="$root/build/object_reader"
runs=5
bucket=rerun

if ! command -v aws >/dev/null; then
  echo "The aws command is missing: scripts/setup.sh --s3 installs it (Debian's awscli)." >&2
  exit 1
fi
scripts/setup.sh object_reader make_cartridge >/dev/null
mkdir -p "$work"
work="$(cd "$work" && pwd)"
rm -rf "${work:?}"/*
mkdir -p "$work/objects/$bucket" "$work/run" "$work/files-run" "$work/save" "$work/files"

store_dir=""
stop_store() { [ -z "$store_dir" ] || scripts/s3-server.sh stop "$store_dir" || true; }
trap stop_store EXIT
if [ -z "${OR_S3_ENDPOINT:-}" ]; then
  store_dir="$work/store"
  variables="$(scripts/s3-server.sh start "$store_dir")"
  eval "$variables"
fi
prefix="bench$$-"
synced="s3://${prefix}sync"
aws_s3() { aws --endpoint-url "$OR_S3_ENDPOINT" s3 "$@"; }
# The data files of the dump's bucket: one file for each object the restore stores.
sync_files() { aws_s3 sync --only-show-errors --exclude '*.meta' "$work/files/$bucket" "$synced"; }

for ((i = 0; i < objects; i++)); do
  printf '%0100d' "$i" >"$work/objects/$bucket/object-$i"
done
"$root/build/make_cartridge" "$work/objects" "$work/cartridge" >/dev/null

restore() {
  (cd "$work/run" && "$reader" -d "$work/cartridge" -F -s "$work/save" -f \
    --s3 "$OR_S3_ENDPOINT" --s3-bucket-prefix "$prefix" >"$work/restore.out" 2>&1) || {
    tail -n 20 "$work/restore.out" >&2
    exit 1
  }
}
now() { date +%s%N; }
seconds_since() { awk -v ns=$(($(now) - $1)) 'BEGIN {printf "%.2f", ns / 1e9}'; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "== $objects objects of 100 bytes: the restore, the dump to files, the first sync =="
restore
grep -q "Objects: $objects stored" "$work/restore.out" || {
  echo "the first restore did not store every object" >&2
  exit 1
}
(cd "$work/files-run" && "$reader" -d "$work/cartridge" -F -s "$work/files" -f -q >/dev/null)
aws_s3 mb "$synced" >/dev/null
sync_files
listed="$(aws_s3 ls --recursive "$synced" | wc -l)"
echo "  restored: $objects objects; synced: $listed files"

rerun_secs=() sync_secs=()
for ((run = 1; run <= runs; run++)); do
  start="$(now)"
  restore
  rerun_secs+=("$(seconds_since "$start")")
  grep -q "Objects: 0 stored, $objects already there" "$work/restore.out" || {
    echo "the restore run again stored something:" >&2
    grep "Objects:" "$work/restore.out" >&2
    exit 1
  }
  start="$(now)"
  sync_files
  sync_secs+=("$(seconds_since "$start")")
done

rerun="$(median "${rerun_secs[@]}")"
sync="$(median "${sync_secs[@]}")"
echo
echo "== Nothing to do: seconds of each of $runs runs, then their median =="
printf '%-34s %s  median %s\n' "(a) object_reader -f --s3 again" "${rerun_secs[*]}" "$rerun"
printf '%-34s %s  median %s\n' "(b) aws s3 sync again" "${sync_secs[*]}" "$sync"
awk -v a="$rerun" -v b="$sync" 'BEGIN {printf "(a) / (b): %.2f (at most 2 is the aim)\n", a / b}'
stop_store
store_dir=""
rm -rf "${work:?}"
