#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/) from a small builder
cartridge: the cache files, list files and history of a dump and a list run of it, the records of
its partition files, its manifest, and the cartridge memory attributes as a READ ATTRIBUTE list.
   scripts/make_fuzz_corpus.py [BUILD_DIR]     (default: build; make_cartridge and object_reader
                                                 must be built there)
The corpus directories are replaced whole. The inputs of the SCSI decoders are made here."""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, sys.argv[1] if len(sys.argv) > 1 else "build")
CORPUS = os.path.join(ROOT, "tests", "fuzz", "corpus")
RECORDS_PER_PARTITION = 24  # the first records of each partition, each one a seed
PARTITION_SEED_BYTES = 65536  # partition files cut here (a cut file is damage the reader handles)
# The marker_header target's first byte: level 4, 3, 2, or an OCM info.
KIND_LEVEL4, KIND_LEVEL3, KIND_OCM_INFO = 0, 1, 3
FORMAT_TIME = "2021-02-03T04:05:06.123456Z"  # one time for the label and every object


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Corpus:
    def __init__(self):
        self.seen = {}

    def add(self, target, data):
        directory = os.path.join(CORPUS, target)
        if target not in self.seen:
            shutil.rmtree(directory, ignore_errors=True)
            os.makedirs(directory)
            self.seen[target] = 0
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)
        self.seen[target] += 1


def read(path):
    with open(path, "rb") as f:
        return f.read()


def simh_records(data):
    """The records of a SIMH tape image (filemarks left out), in order."""
    records, offset = [], 0
    while offset + 4 <= len(data):
        (word,) = struct.unpack_from("<I", data, offset)
        length = word & 0xFFFFFF
        offset += 4
        if word == 0xFFFFFFFF or length == 0:
            if word == 0xFFFFFFFF:
                break
            continue
        records.append(data[offset:offset + length])
        offset += length + (length & 1) + 4
    return records


def make_objects(directory):
    files = {
        "photos/2021/a.jpg": b"\xff\xd8" + b"x" * 300,
        "photos/b.txt": b"hello",
        "logs/day one.log": b"line\n" * 40,
        "logs/empty": b"",
    }
    for key, content in files.items():
        path = os.path.join(directory, key)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def attribute_list(manifest):
    """The cartridge memory attributes of partition 0 as a READ ATTRIBUTE list."""
    body = b""
    for attribute in manifest.get("attributes", []):
        if attribute.get("partition", 0) != 0:
            continue
        value = attribute.get("value", "")
        raw = bytes.fromhex(attribute["hex"]) if "hex" in attribute else value.encode()
        flags = (0x80 if attribute.get("read_only") else 0) | attribute.get("format", 0)
        body += struct.pack(">HBH", attribute["id"], flags, len(raw)) + raw
    return struct.pack(">I", len(body)) + body


def scsi_seeds(corpus):
    sense_fixed = bytes([0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0])
    sense_descriptor = bytes([0x72, 0x03, 0x11, 0, 0, 0, 0, 12, 0, 10, 0x80, 0] + [0] * 7 + [9])
    position = bytes([0x08, 0, 0, 0, 0, 0, 0, 1] + [0] * 8 + [0, 0, 0, 0, 0, 0, 0, 5] + [0] * 8)
    limits = bytes([0, 0xFF, 0xFF, 0xFF, 0, 1])
    inquiry = bytes([1, 0x80, 6, 2, 31, 0, 0, 0]) + b"VIRTUAL VIRTUAL LTO     0001"
    log_page = bytes([0, 1, 0x2E, 0, 0, 8, 0, 1, 0, 4, 0, 0, 0, 9])
    for decoder, data in enumerate([sense_fixed, position, limits, inquiry, log_page]):
        corpus.add("scsi_decode", bytes([decoder]) + data)
    corpus.add("scsi_decode", bytes([0]) + sense_descriptor)
    # A changer's answers: element status (a storage page of two slots with volume tags), the
    # element address assignment page behind a block descriptor, the unit serial number page.
    def slot(address, tag):
        d = bytes([address >> 8, address & 0xFF, 0x09, 0, 0, 0, 0, 0, 0, 0x80, 0x01, 0x00])
        return (d + tag.encode()).ljust(48, b" ")
    page_body = slot(0x1000, "ABC123L8") + slot(0x1001, "")
    page = bytes([2, 0x80, 0, 48, 0, 0, len(page_body) >> 8, len(page_body) & 0xFF]) + page_body
    elements = bytes([0x10, 0, 0, 2, 0, 0, len(page) >> 8, len(page) & 0xFF]) + page
    assignment = bytes([0, 0, 0, 8] + [0] * 8 +
                       [0x1D, 0x12, 0, 0, 0, 1, 0x10, 0, 0, 40, 0, 0x10, 0, 2, 1, 0, 0, 3, 0, 0])
    assignment = bytes([len(assignment) - 1]) + assignment[1:]
    serial = bytes([1, 0x80, 0, 6]) + b" SN1  "
    mode_sense = bytes([0x0B, 0, 0x80, 0x08, 0x5E, 0, 0, 0x10, 0, 0x04, 0, 0])
    for decoder, data in [(5, mode_sense), (6, elements), (7, assignment), (8, serial)]:
        corpus.add("scsi_decode", bytes([decoder]) + data)


def cartridge_seeds(corpus):
    """Edit lists of the whole-cartridge target: operation, file (0 and 1 the partitions, 2 the
    cartridge memory), object index (2 bytes), position, value."""
    corpus.add("cartridge", b"")
    edits = [
        (0, 1, 0, 12, 0, 0x20),  # a byte of the first data-partition record flipped
        (1, 1, 0, 20, 128, 60),  # a record cut short
        (2, 1, 0, 9, 0, 0),  # a filemark more
        (3, 0, 0, 7, 0, 0),  # a filemark or record less on the reference partition
        (4, 1, 0, 14, 0, 0),  # a record twice
        (0, 2, 0, 3, 100, 0x41),  # a cartridge memory attribute changed
    ]
    for edit in edits:
        corpus.add("cartridge", bytes(edit))


def main():
    corpus = Corpus()
    with tempfile.TemporaryDirectory() as tmp:
        objects, cart = os.path.join(tmp, "objects"), os.path.join(tmp, "cart")
        work, save = os.path.join(tmp, "work"), os.path.join(tmp, "save")
        for d in (objects, work, save):
            os.makedirs(d)
        make_objects(objects)
        run([os.path.join(BUILD, "make_cartridge"), "-p", "1", "-o", "2", "-r", "1", "-b", "4096", "-t", FORMAT_TIME,
             objects, cart], tmp)
        reader = os.path.join(BUILD, "object_reader")
        run([reader, "-d", cart, "-f", "-F", "-s", save], work)
        run([reader, "-d", cart, "-l", "-F", "-s", save], work)

        cache = os.path.join(work, "reference_partition")
        corpus.add("vol1_label", read(os.path.join(cache, "VOL1Label")))
        corpus.add("format_label", read(os.path.join(cache, "QRTLabel")))
        for name in ("RCM_0", "RCM_1"):
            corpus.add("rcm", read(os.path.join(cache, name)))
            corpus.add("marker_header", bytes([KIND_LEVEL4]) + read(os.path.join(cache, name)))
        for name in sorted(os.listdir(cache)):
            if name.startswith("PR_"):
                corpus.add("partial_reference", read(os.path.join(cache, name)))
                corpus.add("marker_header", bytes([KIND_LEVEL3]) + read(os.path.join(cache, name)))
        history = read(os.path.join(work, "history.log"))
        tape_id = history.split(b"\n", 1)[0].strip(b"[]")
        corpus.add("history", tape_id + b"\n" + history)
        for root, _, names in os.walk(save):
            for name in names:
                if name.endswith(".lst"):
                    text = read(os.path.join(root, name))
                    for key in (b"b.txt", b"day one.log"):
                        corpus.add("list_file", key + b"\n" + text)

        for partition in ("p0.tap", "p1.tap"):
            data = read(os.path.join(cart, partition))
            corpus.add("partition_file", data[:PARTITION_SEED_BYTES])
            for record in simh_records(data)[:RECORDS_PER_PARTITION]:
                corpus.add("packed_object", record)
                corpus.add("marker_header", bytes([KIND_OCM_INFO]) + record)
        manifest_text = read(os.path.join(cart, "cartridge.json"))
        corpus.add("manifest", manifest_text)
        corpus.add("mam_attributes", attribute_list(json.loads(manifest_text)))
    scsi_seeds(corpus)
    cartridge_seeds(corpus)
    metadata = '{"MetadataVersion":1,"Key":"a.txt","Size":5,"LastModifiedTime":"%s"}' % FORMAT_TIME
    corpus.add("packed_object", metadata.encode())
    for target, count in sorted(corpus.seen.items()):
        print(f"{target}: {count} seeds")


if __name__ == "__main__":
    main()
