#!/usr/bin/env bash
# The demo: builds object_reader, turns the bundled sample objects into a virtual cartridge, dumps
# the whole cartridge into demo/save and shows where every object landed.
#
#   ./run_demo.sh
#
# Everything it writes stays under demo/ (sample/ is only read). Running it again starts afresh.
set -euo pipefail
cd "$(dirname "$0")"
root="$PWD"
demo="$root/demo"

echo "== Building (scripts/setup.sh) =="
scripts/setup.sh object_reader make_cartridge tape_image tape_selftest

echo
echo "== Objects: sample/objects, plus one object larger than a tape block =="
rm -rf "$demo/objects" "$demo/cartridge" "$demo/save" "$demo/work"
mkdir -p "$demo/save" "$demo/work"
cp -R sample/objects "$demo/objects"
# 210,000 bytes: more than three blocks of 65,536 bytes. Generated, not stored in the repository,
# and the same bytes every time.
seq -f '%08g' 0 26249 | tr -d '\n' >"$demo/objects/photos/albums/2024/lake-trip/panorama.raw"
(cd "$demo/objects" && find . -type f -printf '  %P  (%s bytes)\n' | sort)

echo
echo "== Virtual cartridge: demo/cartridge =="
# --versions: NAME@vN files are versions of the key NAME. A fixed time (version N is N seconds
# later) makes the cartridge the same on every run. Small block size and small groups, so that the
# tape holds several packed objects, object commit markers and partial references.
build/make_cartridge --versions --time 2024-06-01T12:00:00.000000Z --block-size 65536 \
  --objects-per-po 4 --pos-per-ocm 2 --ocms-per-pr 1 --volume-id DEMO01 \
  "$demo/objects" "$demo/cartridge"
ls -l "$demo/cartridge"

echo
echo "== Full dump into demo/save (working directory demo/work) =="
# -F: the free-space check would otherwise demand 100 GiB on the save path's file system.
(cd "$demo/work" && "$root/build/object_reader" -d "$demo/cartridge" -f -F -s "$demo/save")

echo
echo "== Where the objects landed (demo/save) =="
(cd "$demo/save" && find . -type f -printf '  %P  (%s bytes)\n' | sort)

echo
echo "== An object's metadata: version v3 of documents/readme.txt =="
grep -l '"Version":"v3"' "$demo"/save/documents/0001/0001/readme.txt/*.meta | xargs cat
echo

echo
echo "== Each .data file against the object it came from =="
# demo/save/<bucket>/0001/0001/<key>/<object id>.data; the .meta beside it names the version.
checked=0
while IFS= read -r data; do
  rel="${data#"$demo/save/"}"
  bucket="${rel%%/*}"
  keydir="${rel#*/*/*/}"
  key="${keydir%/*}"
  version="$(grep -o '"Version":"v[0-9]*"' "${data%.data}.meta" | sed 's/.*"\(v[0-9]*\)"/\1/' || true)"
  source="$demo/objects/$bucket/$key${version:+@$version}"
  if cmp -s "$data" "$source"; then
    checked=$((checked + 1))
  else
    echo "  DIFFERENT: $rel and ${source#"$demo/"}" >&2
    exit 1
  fi
done < <(find "$demo/save" -name '*.data' | sort)
total="$(find "$demo/objects" -type f | wc -l)"
echo "  $checked of $total objects written, each identical to its source file."
[ "$checked" -eq "$total" ]

echo
echo "== What the tape holds, in tape order (object_reader -l --ls) =="
# The list files go to demo/save/DEMO01L8/; the listing to standard output, the messages to
# standard error.
(cd "$demo/work" && "$root/build/object_reader" -d "$demo/cartridge" -l --ls -q -s "$demo/save" \
  2>/dev/null) | awk -F '\t' '{printf "  %-10s %-36s %-3s %s %7s\n", $1, $2, $3, $4, $5}'

cat <<EOF

== Try next (from demo/work, where the program keeps its working files) ==
  cd demo/work
  # Make the list files (demo/save/DEMO01L8/<bucket>_0001.lst):
  ../../build/object_reader -d ../cartridge -l -s "$demo/save"
  # Then retrieve one object: the latest version, every version, or the whole packed object:
  ../../build/object_reader -d ../cartridge -b documents -o readme.txt -s "$demo/save"
  ../../build/object_reader -d ../cartridge -b documents -o readme.txt -O all -s "$demo/save"
  ../../build/object_reader -d ../cartridge -b photos -o albums/2024/lake-trip/panorama.raw -L 1 -s "$demo/save"
  # Retrieved objects go to demo/save/<bucket>/0000/0000/<key>/, a packed object to
  # demo/save/<pack id>.pack. Add -v vvvvv to see every marker as it is checked.
EOF
