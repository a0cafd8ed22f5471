#!/usr/bin/env bash
# Benchmark of object_reader on virtual cartridges (not a test: it prints figures).
#
#   scripts/benchmark.sh [WORK_DIR]        (default: bench-work/ in the repository)
#
# Builds three cartridges with make_cartridge:
#   (a) about 2 GiB of objects of mixed sizes (5 buckets, from empty to 350 MiB), 1 MiB blocks;
#   (b) 200,000 objects of 100 bytes in one bucket;
#   (c) 100,000 objects of 100 bytes, 4 per packed object, one packed object per commit marker.
# Then times a full dump and a list run of each, beside `cat` of the same data partition file to
# /dev/null and beside GNU tar extracting the same objects from a tar file (only the extraction
# is timed), and prints the ratios, the program's peak memory, and what the virtual drive counted
# (from the job's --report): the SCSI commands, the stops and moves back, and the estimated time
# of a real drive beside the time of streaming both partitions once.
#   (d) 20,000 objects of 100 bytes in one bucket, for the restores into a store.
# Restores into an S3 store: a full dump of (a) and of (d) with --s3, beside the full dumps to
# files, in MiB/s and objects/s. The store is the one OR_S3_ENDPOINT names (with the credentials
# in the environment), else a local one that scripts/s3-server.sh starts in WORK_DIR (OR_S3_PORT
# chooses its ports) when Swift is installed (scripts/setup.sh --s3); without either they are
# left out.
#
# All files are read from the page cache where it holds them: `cat` of the partition file runs
# first and warms it. It needs about 9 GiB (7 without a local store) of free disk space in WORK_DIR at the peak and about
# 450,000 free inodes; it checks both first. WORK_DIR is emptied at the start and at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${1:-$root/bench-work}"
reader="$root/build/object_reader"
maker="$root/build/make_cartridge"
fixed_time=2024-06-01T12:00:00.000000Z

need_kib=$((9 * 1024 * 1024))
need_inodes=450000

echo "== Building (scripts/setup.sh) =="
scripts/setup.sh object_reader make_cartridge >/dev/null

mkdir -p "$work"
work="$(cd "$work" && pwd)"
rm -rf "${work:?}"/*
free_kib="$(df -Pk "$work" | awk 'NR == 2 {print $4}')"
free_inodes="$(df -Pi "$work" | awk 'NR == 2 {print $4}')"
if [ "$free_kib" -lt "$need_kib" ]; then
  echo "Not enough free disk space in $work: $((free_kib / 1048576)) GiB free, the benchmark" \
    "needs about $((need_kib / 1048576)) GiB. Give another WORK_DIR: scripts/benchmark.sh DIR" >&2
  exit 1
fi
if [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt "$need_inodes" ]; then
  echo "Not enough free inodes in $work: $free_inodes free, the benchmark needs about" \
    "$need_inodes." >&2
  exit 1
fi
if ! tar --version 2>/dev/null | head -n 1 | grep -q GNU; then
  echo "GNU tar is needed for the comparison." >&2
  exit 1
fi
echo "Work directory: $work ($((free_kib / 1048576)) GiB free)"
echo "CPU: $(nproc) x $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo 2>/dev/null)"

# ------------------------------------------------------------------------------------------------
# Measuring

# measure DIR COMMAND...: runs COMMAND in DIR; sets secs (wall-clock seconds) and peak_kib (peak
# resident memory in KiB, from /usr/bin/time, or else VmHWM read while it runs).
measure() {
  local dir="$1" start end status=0
  shift
  start="$(date +%s%N)"
  if [ -x /usr/bin/time ]; then
    (cd "$dir" && exec /usr/bin/time -f %M -o "$work/.rss" "$@") >"$work/.out" 2>&1 || status=$?
    peak_kib="$(tail -n 1 "$work/.rss")"
  else
    (cd "$dir" && exec "$@") >"$work/.out" 2>&1 &
    local pid=$! hwm
    peak_kib=0
    while kill -0 "$pid" 2>/dev/null; do
      hwm="$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)"
      if [ -n "$hwm" ] && [ "$hwm" -gt "$peak_kib" ]; then peak_kib="$hwm"; fi
      sleep 0.02
    done
    wait "$pid" || status=$?
  fi
  end="$(date +%s%N)"
  secs="$(awk -v ns=$((end - start)) 'BEGIN {printf "%.3f", ns / 1e9}')"
  if [ "$status" -ne 0 ]; then
    echo "FAILED (status $status): $*" >&2
    tail -n 20 "$work/.out" >&2
    exit 1
  fi
}

# figure REPORT NAME: a figure of the "virtual_drive" member of a job's --report file.
figure() {
  sed -n 's/.*"virtual_drive":{\([^}]*\)}.*/\1/p' "$1" | tr ',' '\n' |
    awk -F: -v name="\"$2\"" '$1 == name {print $2}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
mib_per_s() { awk -v bytes="$1" -v s="$2" 'BEGIN {if (s > 0) printf "%.0f", bytes / 1048576 / s; else print "-"}'; }
bytes_of() { find "$@" -type f -printf '%s\n' | awk '{t += $1} END {printf "%d", t}'; }

# The drive model's streaming rate (bytes per second), the cost of one stop that winds the whole
# tape (3 s to stop and restart, 60 s of winding) and of a partition change: see the virtual
# drive's drive-time model.
stream_rate=400000000
stop_worst=63
partition_change=20
full_tape=18000000000000

# A fresh working directory and save path for each run, as for a first run on a tape.
fresh() {
  rm -rf "$work/run" "$work/save"
  mkdir -p "$work/run" "$work/save"
}

report_header() {
  printf '\n%-30s %8s %6s %6s %7s %6s %5s %9s %9s %6s %8s\n' "job" "seconds" "x cat" "x tar" \
    "peak MiB" "stops" "back" "drive s" "stream s" "ratio" "18 TB"
}

# job LABEL CARTRIDGE TAR_SECONDS CAT_SECONDS OPTIONS...: times one object_reader job and prints
# one line (for a full dump, -f, tar is timed again extracting the files the dump wrote): its wall-clock time beside cat and tar, its peak memory, and what the virtual drive
# counted: the stops (positionings that stop and reposition the tape), those going back, the
# estimated drive time, the streaming time (both partition files read once at the native rate),
# their ratio, and that ratio for a tape of 18 TB of the same layout:
#   (18e12 / rate + stops * 63 + partition changes * 20) / (18e12 / rate)
# which takes every stop as a wind over the whole tape: the stops do not grow with the tape.
job() {
  local label="$1" cartridge="$2" tar_secs="$3" cat_secs="$4"
  shift 4
  fresh
  sync  # what earlier jobs wrote is on disk: each job pays for its own writing only
  measure "$work/run" "$reader" -d "$cartridge" "$@" -F -s "$work/save" \
    --report "$work/report.json"
  local job_secs="$secs" job_peak="$peak_kib" report="$work/report.json"
  last_job_secs="$secs"
  grep -q "complete" "$work/.out" || { echo "no completion message: $label" >&2; exit 1; }
  job_check="$(find "$work/save" -name '*.data' | wc -l) .data files, $(bytes_of "$work/save" -name '*.data') bytes; $(find "$work/save" -name '*.lst' | wc -l) list files"
  # A dump is compared with tar extracting the very files it wrote (.meta and .data in their
  # directories) from a tar file of them: the same files, directories and bytes.
  if [ "$*" = "-f" ]; then
    tar -cf "$work/dump.tar" -C "$work/save" .
    rm -rf "$work/extract" && mkdir -p "$work/extract"
    cat "$work/dump.tar" >/dev/null
    sync
    measure "$work" tar -xf "$work/dump.tar" -C "$work/extract"
    tar_secs="$secs"
    rm -rf "$work/extract" "$work/dump.tar"
  fi
  local stops back drive changes stream
  stops="$(figure "$report" stops)"
  back="$(figure "$report" backward)"
  drive="$(figure "$report" drive_seconds)"
  changes="$(figure "$report" partition_changes)"
  stream="$(stat -c %s "$cartridge/p0.tap" "$cartridge/p1.tap" |
    awk -v r="$stream_rate" '{t += $1} END {printf "%.3f", t / r}')"
  local tape_ratio
  tape_ratio="$(awk -v t="$full_tape" -v r="$stream_rate" -v s="$stops" -v w="$stop_worst" \
    -v c="$changes" -v p="$partition_change" 'BEGIN {printf "%.4f", (t / r + s * w + c * p) / (t / r)}')"
  printf '%-30s %8s %6s %6s %7s %6s %5s %9.3f %9s %6s %8s\n' "$label" "$job_secs" \
    "$(ratio "$job_secs" "$cat_secs")" "$(ratio "$job_secs" "$tar_secs")" \
    "$(awk -v k="$job_peak" 'BEGIN {printf "%.1f", k / 1024}')" "$stops" "$back" "$drive" \
    "$stream" "$(ratio "$drive" "$stream")" "$tape_ratio"
  printf '%-30s %s\n' "" "(written: $job_check; commands: $(figure "$report" commands), READ $(figure "$report" reads), LOCATE $(figure "$report" locates), SPACE $(figure "$report" spaces))"
  fresh
  last_peak_kib="$job_peak"
}

# baselines NAME OBJECTS_DIR CARTRIDGE: times cat of the data partition file and the extraction of
# OBJECTS_DIR's tar file; sets cat_secs and tar_secs. Removes OBJECTS_DIR after making the tar.
baselines() {
  local name="$1" objects="$2" cartridge="$3"
  tar -cf "$work/$name.tar" -C "$objects" .
  rm -rf "$objects"
  cat "$cartridge/p1.tap" >/dev/null # warms the page cache
  measure "$work" sh -c "cat '$cartridge/p1.tap' >/dev/null"
  cat_secs="$secs"
  rm -rf "$work/extract" && mkdir -p "$work/extract"
  cat "$work/$name.tar" >/dev/null
  measure "$work" tar -xf "$work/$name.tar" -C "$work/extract"
  tar_secs="$secs"
  rm -rf "$work/extract" "$work/$name.tar"
  local size
  size="$(stat -c %s "$cartridge/p1.tap")"
  echo "  data partition file p1.tap: $size bytes ($((size / 1048576)) MiB)"
  echo "  cat p1.tap > /dev/null:     $cat_secs s ($(mib_per_s "$size" "$cat_secs") MiB/s)"
  echo "  tar -xf of the objects:     $tar_secs s"
}

# ------------------------------------------------------------------------------------------------
# (a) about 2 GiB of objects of mixed sizes

echo
echo "== (a) Generating about 2 GiB of objects of mixed sizes =="
a="$work/objects-a"
mkdir -p "$a/bench-big" "$a/bench-large" "$a/bench-medium/part" "$a/bench-small/x/y" \
  "$a/bench-tiny"
for i in 1 2 3; do
  head -c $((350 * 1048576 + 12345 * i)) /dev/urandom >"$a/bench-big/big-$i.bin"
done
head -c 480000000 /dev/urandom | split -b 20000000 -a 2 - "$a/bench-large/large-"
head -c 400001200 /dev/urandom | split -b 1000003 -a 3 - "$a/bench-medium/part/medium-"
head -c 131074000 /dev/urandom | split -b 65537 -a 3 - "$a/bench-small/x/y/small-"
head -c 12000000 /dev/urandom | split -b 1500 -a 3 - "$a/bench-tiny/tiny-"
: >"$a/bench-tiny/empty"
a_objects="$(find "$a" -type f | wc -l)"
a_bytes="$(bytes_of "$a")"
echo "  $a_objects objects, $a_bytes bytes ($((a_bytes / 1048576)) MiB)"

echo "== (a) Building the cartridge =="
measure "$work" "$maker" -t "$fixed_time" -p 256 "$a" "$work/cartridge-a"
sed 's/^.*make_cartridge: /  /' "$work/.out"
echo "  make_cartridge: $secs s"
baselines a "$a" "$work/cartridge-a"
a_cat="$cat_secs"
a_tar="$tar_secs"

# ------------------------------------------------------------------------------------------------
# (b) 200,000 small objects

echo
echo "== (b) Generating 200,000 objects of 100 bytes =="
b="$work/objects-b"
mkdir -p "$b/small-objects"
head -c 20000000 /dev/urandom | split -b 100 -a 4 - "$b/small-objects/obj-"
echo "  $(find "$b" -type f | wc -l) objects, $(bytes_of "$b") bytes"
echo "== (b) Building the cartridge =="
measure "$work" "$maker" -t "$fixed_time" -p 1000 -o 10 -r 10 "$b" "$work/cartridge-b"
sed 's/^.*make_cartridge: /  /' "$work/.out"
echo "  make_cartridge: $secs s"
baselines b "$b" "$work/cartridge-b"
b_cat="$cat_secs"
b_tar="$tar_secs"

# ------------------------------------------------------------------------------------------------
# (c) 100,000 small objects, 4 per packed object, one packed object per commit marker: many
# markers, each a place where a walk that steps back would stop the tape.

echo
echo "== (c) Generating 100,000 objects of 100 bytes =="
c="$work/objects-c"
mkdir -p "$c/marker-heavy"
head -c 10000000 /dev/urandom | split -b 100 -a 4 - "$c/marker-heavy/obj-"
echo "  $(find "$c" -type f | wc -l) objects, $(bytes_of "$c") bytes"
echo "== (c) Building the cartridge =="
measure "$work" "$maker" -t "$fixed_time" -b 4096 -p 4 -o 1 -r 100 "$c" "$work/cartridge-c"
sed 's/^.*make_cartridge: /  /' "$work/.out"
echo "  make_cartridge: $secs s"
baselines c "$c" "$work/cartridge-c"
c_cat="$cat_secs"
c_tar="$tar_secs"

# ------------------------------------------------------------------------------------------------
# (d) 20,000 small objects, for the restores into a store

echo
echo "== (d) Generating 20,000 objects of 100 bytes =="
d="$work/objects-d"
mkdir -p "$d/small-restore"
head -c 2000000 /dev/urandom | split -b 100 -a 4 - "$d/small-restore/obj-"
d_objects="$(find "$d" -type f | wc -l)"
d_bytes="$(bytes_of "$d")"
measure "$work" "$maker" -t "$fixed_time" -p 1000 -o 10 -r 10 "$d" "$work/cartridge-d"
rm -rf "$d"
echo "  $d_objects objects, $d_bytes bytes; make_cartridge: $secs s"

# ------------------------------------------------------------------------------------------------
# The store

store_dir=""
stop_store() { [ -z "$store_dir" ] || scripts/s3-server.sh stop "$store_dir" || true; }
trap stop_store EXIT
if [ -z "${OR_S3_ENDPOINT:-}" ] && command -v swift-proxy-server >/dev/null; then
  echo
  echo "== Starting a local S3 store (scripts/s3-server.sh) =="
  store_dir="$work/store"
  mkdir -p "$store_dir"
  variables="$(scripts/s3-server.sh start "$store_dir")"
  eval "$variables"
fi

# store_job LABEL CARTRIDGE FILE_SECS BYTES OBJECTS: times a full dump of CARTRIDGE into the store
# (each into buckets of a prefix of its own) and prints it beside the full dump to files.
restores=0
store_job() {
  local label="$1" cartridge="$2" file_secs="$3" bytes="$4" objects="$5"
  restores=$((restores + 1))
  fresh
  measure "$work/run" "$reader" -d "$cartridge" -f -F -s "$work/save" --s3 "$OR_S3_ENDPOINT" \
    --s3-bucket-prefix "bench$$-$restores-"
  grep -q "Objects: $objects stored" "$work/.out" || {
    echo "not every object stored: $label" >&2
    tail -n 20 "$work/.out" >&2
    exit 1
  }
  printf '%-30s %8s %8s %9s %9s %8s\n' "$label" "$secs" "$(mib_per_s "$bytes" "$secs")" \
    "$(awk -v n="$objects" -v s="$secs" 'BEGIN {printf "%.0f", n / s}')" \
    "$(ratio "$secs" "$file_secs")" "$(awk -v k="$peak_kib" 'BEGIN {printf "%.1f", k / 1024}')"
}

# ------------------------------------------------------------------------------------------------
# The jobs

echo
echo "== object_reader jobs =="
echo "x cat, x tar: the job's time divided by that of cat of the same p1.tap, and of tar"
echo "extracting the same objects (for a full dump: the same .meta and .data files it wrote). stops, back: positionings that stop the tape, and those of"
echo "them that go back. drive s: the virtual drive's estimate of a real drive's time; stream s:"
echo "both partitions read once at 400 MB/s; ratio: drive s / stream s. 18 TB: the ratio for a"
echo "full 18 TB tape of the same layout, every stop taken as a wind over the whole tape."
report_header
job "(a) full dump, 2 GiB mixed" "$work/cartridge-a" "$a_tar" "$a_cat" -f
a_dump_secs="$last_job_secs"
job "(a) list run, 2 GiB mixed" "$work/cartridge-a" "$a_tar" "$a_cat" -l
job "(b) full dump, 200,000 small" "$work/cartridge-b" "$b_tar" "$b_cat" -f
job "(b) list run, 200,000 small" "$work/cartridge-b" "$b_tar" "$b_cat" -l
b_peak="$last_peak_kib"
job "(c) full dump, 100,000 small" "$work/cartridge-c" "$c_tar" "$c_cat" -f
job "(c) list run, 100,000 small" "$work/cartridge-c" "$c_tar" "$c_cat" -l
c_peak="$last_peak_kib"

# Memory of a list run of 1,000,000 objects, from the growth per object between (c) and (b).
echo
awk -v b="$b_peak" -v c="$c_peak" 'BEGIN {
  per = (b - c) / 100000
  printf "Peak memory of a list run: %.1f MiB at 100,000 objects, %.1f MiB at 200,000;\n", c / 1024, b / 1024
  printf "growth %.3f KiB per object, so about %.1f MiB at 1,000,000 objects.\n", per, (b + per * 800000) / 1024
}'
job "(d) full dump, 20,000 small" "$work/cartridge-d" "-" "-" -f
d_dump_secs="$last_job_secs"

echo
if [ -n "${OR_S3_ENDPOINT:-}" ]; then
  echo "== Restores into the S3 store at $OR_S3_ENDPOINT (--s3, full dumps) =="
  echo "x files: the restore's time divided by that of the full dump of the same cartridge to files."
  printf '%-30s %8s %8s %9s %9s %8s\n' "job" "seconds" "MiB/s" "objects/s" "x files" "peak MiB"
  store_job "(a) restore, 2 GiB mixed" "$work/cartridge-a" "$a_dump_secs" "$a_bytes" "$a_objects"
  store_job "(d) restore, 20,000 small" "$work/cartridge-d" "$d_dump_secs" "$d_bytes" "$d_objects"
else
  echo "== Restores into an S3 store: left out (no OR_S3_ENDPOINT, and Swift is not installed:"
  echo "   scripts/setup.sh --s3) =="
fi
stop_store
store_dir=""

rm -rf "${work:?}"/*
echo
echo "Done; $work emptied."
