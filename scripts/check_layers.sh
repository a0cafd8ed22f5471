#!/usr/bin/env bash
# Checks that no layer of the program, and no tool, uses a layer it may not use (one above it).
#   scripts/check_layers.sh [BUILD_DIR]   both checks below (default BUILD_DIR: build)
#   scripts/check_layers.sh --includes    the include check alone; needs no build (every build
#                                         runs it first, before its lowest library)
# Include check: every #include "..." of a source or header under src/, include/ and tools/
# resolves (like the compiler: the including file's directory, then include/, src/, tools/) to a
# file of the including file's layer or of one it may use. Angle-bracket includes are system
# headers and are not looked at.
# Symbol check, on a build: every symbol that an object of the program or of a tool (each object
# the build's compile_commands.json names, tests left out) leaves undefined is defined in its own
# layer, in one it may use, or outside the program (system and third-party libraries). Weak
# definitions (inline functions, templates) are not looked at; the include check covers them.
# Every file under src/, include/ and tools/ must be in exactly one layer of the table below.
# Exits 1 and names each use upwards and each file of no layer; exits 2 when the build is missing.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."

# ---------------------------------------------------------------------------------------------
# The layers, lowest first, then the S3 client and the tools beside them. Each row: the layer's
# name, the layers it may use besides itself ("-": none), and its files; more files may follow
# on lines that start with a blank. A path ending in / is a whole directory, * matches within a
# name. When several rows match a file, a full path beats a pattern and a pattern beats a
# directory (src/check_integriy.cpp is the walk's although src/check_*.cpp is the format's).
# The libraries are or_<layer> and cartbuild; the last three rows are the tools' executables.
layer_table='
# layer         may use                              files
support         -                                    src/support/ src/output_level.cpp
                                                     src/endian_utils.cpp src/str_replace.cpp
                                                     include/output_level.h include/endian_utils.h
vdrive          support                              src/vdrive/
scsi            vdrive,support                       src/scsi/ src/scsi_util.cpp include/spti_lib.h
                                                     include/scsi_resparam.h include/tape_device.h
                                                     include/scsi_util.h
format          scsi,vdrive,support                  src/check_*.cpp src/format_check_helpers.h
                                                     src/vexa_format_checker_util.cpp
                                                     include/vexa_format_checker.h
                                                     include/marker_layout.h
walk            format,scsi,vdrive,support,s3        src/walk/ src/check_integriy.cpp
                                                     src/object_reader_util.cpp
driver          walk,format,scsi,vdrive,support,s3   src/object_reader.cpp src/main.cpp src/driver/
                                                     include/object_reader.h
s3              support                              src/s3/
cartbuild       vdrive,support                       tools/cartridge/
tape_selftest   scsi,vdrive,support                  tools/tape_selftest.cpp tools/selftest/
make_cartridge  cartbuild,vdrive,support             tools/make_cartridge.cpp
tape_image      cartbuild,scsi,vdrive,support        tools/tape_image.cpp tools/image/
'
# The directories whose files the table must cover, and the include path after a file's own
# directory.
source_dirs=(include src tools)
# ---------------------------------------------------------------------------------------------

# Reads the table (awk -v table=...) and gives layer_of(path): the path's layer, "?" when no
# row has it, "?" followed by the rows when two rows have it alike; and may_use(layer, other).
# shellcheck disable=SC2016  # awk's program, not the shell's
awk_table='
function add_pattern(layer, p,    kind, rx) {
  if (p ~ /\/$/) { kind = 1; rx = "^" quote(p) }
  else if (p ~ /\*/) { kind = 2; rx = "^" quote(p) "$"; gsub(/\\\*/, "[^/]*", rx) }
  else { kind = 3; rx = "^" quote(p) "$" }
  npat++; pat_rx[npat] = rx; pat_layer[npat] = layer; pat_rank[npat] = kind * 10000 + length(p)
}
function quote(s) { gsub(/[][\\.^$(){}|+?*]/, "\\\\&", s); return s }
function layer_of(path,    i, best, rank, found) {
  best = -1; found = "?"
  for (i = 1; i <= npat; i++) {
    if (path !~ pat_rx[i]) continue
    rank = pat_rank[i]
    if (rank > best) { best = rank; found = pat_layer[i] }
    else if (rank == best && pat_layer[i] != found) found = "?" found "," pat_layer[i]
  }
  sub(/^\?+/, "?", found)
  return found
}
function may_use(layer, other) { return layer == other || ((layer SUBSEP other) in uses) }
function fail_table(msg) { print "check_layers: the table of layers: " msg > "/dev/stderr"; table_bad = 1 }
BEGIN {
  n = split(table, lines, "\n")
  for (i = 1; i <= n; i++) {
    line = lines[i]
    if (line ~ /^[ \t]*(#|$)/) continue
    nf = split(line, f, /[ \t]+/)
    first = 1
    if (line ~ /^[^ \t]/) {
      current = f[1]
      if (nf < 3) fail_table("the row of " current " has no files (a row: layer, may use, files)")
      if (current in known) fail_table("layer " current " has two rows")
      known[current] = 1
      if (f[2] != "-") { m = split(f[2], u, ","); for (j = 1; j <= m; j++) { uses[current, u[j]] = 1; named[u[j]] = current } }
      first = 3
    } else if (current == "") { fail_table("a line of files before the first layer") }
    for (j = first; j <= nf; j++) if (f[j] != "") add_pattern(current, f[j])
  }
  for (l in named) if (!(l in known)) fail_table("layer " named[l] " may use " l ", which has no row")
  if (table_bad) exit 1
}
'

# Prints "PATH LAYER" for each path on standard input.
map_layers() {
  awk -v table="$layer_table" "$awk_table"'{ print $0, layer_of($0) }'
}

check_includes() {
  local files
  files=$(find "${source_dirs[@]}" -type f \( -name '*.h' -o -name '*.hh' -o -name '*.hpp' \
            -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.inc' -o -name '*.ipp' \) |
          sort)
  # The files with their layers, then each quoted include as FILE:LINE:TEXT.
  { map_layers <<<"$files"
    echo "--"
    # shellcheck disable=SC2086  # the paths have no blanks
    grep -H -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' $files || true
  } | awk -v table="$layer_table" -v search="${source_dirs[*]}" "$awk_table"'
    function normalize(p,    n, parts, out, i, k) {
      n = split(p, parts, "/"); k = 0
      for (i = 1; i <= n; i++) {
        if (parts[i] == "." || parts[i] == "") continue
        if (parts[i] == ".." && k > 0 && out[k] != "..") { k--; continue }
        out[++k] = parts[i]
      }
      p = ""; for (i = 1; i <= k; i++) p = p (i > 1 ? "/" : "") out[i]
      return p
    }
    function resolve(file, header,    dir, dirs, n, i, p) {
      dir = file; sub(/\/[^\/]*$/, "", dir)
      p = normalize(dir "/" header); if (p in layer) return p
      n = split(search, dirs, " ")
      for (i = 1; i <= n; i++) { p = normalize(dirs[i] "/" header); if (p in layer) return p }
      return ""
    }
    BEGIN { status = 0 }
    !listed && $0 == "--" { listed = 1; next }
    !listed {
      layer[$1] = $2; files++
      if ($2 ~ /^\?./) { print $1 ": in the rows of " substr($2, 2) " alike; give it one layer in the table of scripts/check_layers.sh"; status = 1 }
      else if ($2 == "?") { print $1 ": in no layer; add it (or its directory) to the table of scripts/check_layers.sh"; status = 1 }
      next
    }
    {
      file = $0; sub(/:.*/, "", file)
      rest = substr($0, length(file) + 2); line = rest; sub(/:.*/, "", line)
      header = rest; sub(/^[^"]*"/, "", header); sub(/".*/, "", header)
      includes++
      target = resolve(file, header)
      if (target == "") { print file ":" line ": includes \"" header "\", which is no file of the program or the tools"; status = 1; next }
      if (layer[file] ~ /^\?/ || layer[target] ~ /^\?/) next
      if (!may_use(layer[file], layer[target])) {
        print file ":" line ": includes \"" header "\" (" target ", layer " layer[target] ") from layer " layer[file]
        status = 1
      }
    }
    END {
      if (table_bad) exit 1
      if (status == 0) print "check_layers: includes: no file includes a header of a layer above its own (" files " files, " includes " includes)"
      exit status
    }'
}

check_symbols() {
  local build_dir=$1 commands=$1/compile_commands.json
  if [ ! -f "$commands" ]; then
    echo "check_layers: $commands is missing; configure and build first" >&2
    return 2
  fi
  # The objects of the program and the tools, and the source each is compiled from (CMake keeps
  # a source's path below CMakeFiles/<target>.dir/).
  local objects=() sources=() object source i
  while read -r object; do
    source=${object#CMakeFiles/*.dir/}
    source=${source%.o}
    case "$source" in tests/*) continue ;; esac
    if [ ! -f "$build_dir/$object" ]; then
      echo "check_layers: $build_dir/$object is missing; build first" >&2
      return 2
    fi
    objects+=("$build_dir/$object")
    sources+=("$source")
  done < <(sed -n 's/.* -o \([^ ]*\.o\) .*/\1/p' "$commands" | sort -u)
  if [ "${#objects[@]}" -eq 0 ]; then
    echo "check_layers: $commands names no object" >&2
    return 2
  fi
  # Each object with its source's layer; then the strong definitions (weak ones are inline
  # functions and templates, defined wherever used) and the undefined symbols, as nm -A prints
  # them ("OBJECT: SYMBOL TYPE ...").
  { for i in "${!objects[@]}"; do echo "${objects[$i]} ${sources[$i]}"; done |
      awk -v table="$layer_table" "$awk_table"'{ print $1, $2, layer_of($2) }'
    echo "-- defined"
    nm -g --defined-only -A -P "${objects[@]}"
    echo "-- undefined"
    nm -u -A -P "${objects[@]}"
  } | awk -v table="$layer_table" "$awk_table"'
    BEGIN { part = 0; status = 0 }
    /^-- / { part++; next }
    part == 0 {
      source[$1] = $2; layer[$1] = $3; objects++
      if ($3 ~ /^\?/) { print $2 ": in no layer, or in two alike; see the table of scripts/check_layers.sh"; status = 1 }
      next
    }
    { object = $1; sub(/:$/, "", object) }
    part == 1 {
      if (NF >= 3 && $3 ~ /^[TDBRG]$/ && layer[object] !~ /^\?/) {
        if (!(($2, layer[object]) in at)) { owners[$2] = owners[$2] " " layer[object]; at[$2, layer[object]] = source[object] }
      }
      next
    }
    part == 2 {
      symbol = $2
      if (!(symbol in owners) || layer[object] ~ /^\?/) next
      n = split(owners[symbol], o, " "); ok = 0
      for (i = 1; i <= n; i++) if (may_use(layer[object], o[i])) ok = 1
      if (ok) next
      print layer[object] ": " source[object] " calls " symbol " of " o[1] " (" at[symbol, o[1]] ")"
      status = 1
    }
    END {
      if (table_bad) exit 1
      if (status == 0) print "check_layers: symbols: no object calls a layer above its own (" objects " objects)"
      exit status
    }' | c++filt
  return "${PIPESTATUS[1]}"
}

awk -v table="$layer_table" "$awk_table" </dev/null || exit 1  # the table itself
if [ "${1:-}" = "--includes" ]; then
  check_includes
  exit
fi
status=0
check_includes || status=1
check_symbols "${1:-build}" || { rc=$?; [ "$rc" -gt "$status" ] && status=$rc; }
exit "$status"
