"""Builds the two benchmark archives, deterministically:
  resources.zip  about 5,000 entries, 150 MB unpacked, shaped like an Electron
                 app's resources: many small scripts and JSON files in deep
                 package folders, images and fonts stored as they are, native
                 modules, and a few large bundles;
  single.zip     one 300 MB file of mixed text and binary data;
  small.zip      50,000 small files (100 bytes to 4 KB) in 500 folders.
Usage: make_archives.py FOLDER (archives already there are kept)."""

import math
import os
import random
import sys
import zipfile
import zlib

MB = 1 << 20
WORDS = ("function return const let var this that module exports require import from default class extends "
         "constructor prototype value length index object string number boolean undefined null true false if "
         "else for while switch case break continue async await Promise resolve reject then catch finally new "
         "Error TypeError options config render props state update element children window document event "
         "listener handler callback result data buffer path file name type key map set get has push slice").split()
PUNCT = ["(", ")", "{", "}", ";", ", ", ".", " = ", " => ", "[", "]", "\n", "\n  ", "\n    ", " === ", " + "]


def text_corpus(rng, size):
    parts, total = [], 0
    while total < size:
        chunk = "".join(rng.choice(WORDS) + rng.choice(PUNCT) + (str(rng.randrange(1000)) if rng.random() < 0.1 else "")
                        for _ in range(4096))
        parts.append(chunk)
        total += len(chunk)
    return "".join(parts).encode()[:size]


def native_like(rng, size):
    # Machine code and tables: random stretches mixed with repeated patterns.
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.5:
            out += rng.randbytes(rng.randrange(16, 256))
        else:
            out += bytes([rng.randrange(256)] * rng.randrange(4, 64)) + rng.randbytes(8) * rng.randrange(2, 12)
    return bytes(out[:size])


def slice_of(rng, corpus, size):
    start = rng.randrange(0, len(corpus) - size)
    return corpus[start:start + size]


def write(zf, name, data, stored=False):
    info = zipfile.ZipInfo(name, date_time=(2024, 5, 17, 12, 0, 0))
    info.external_attr = 0o644 << 16
    if stored:
        info.compress_type = zipfile.ZIP_STORED
    else:
        info.compress_type = zipfile.ZIP_DEFLATED
        info._compresslevel = 6
    zf.writestr(info, data)


def resources(path):
    rng = random.Random(20240517)
    corpus = text_corpus(rng, 24 * MB)
    folders = ["app/", "app/dist/", "app/assets/", "app/locales/"]
    for p in range(90):
        package = "app/node_modules/pkg-%02d-%s/" % (p, rng.choice(WORDS))
        folders.append(package)
        for sub in ("lib/", "dist/", "src/", "types/"):
            folders.append(package + sub)
            if rng.random() < 0.5:
                folders.append(package + sub + rng.choice(WORDS) + "/")
                if rng.random() < 0.4:
                    folders.append(folders[-1] + "internal/")
    entries = []
    body = 4970
    for i in range(body):
        size = int(min(2 * MB, rng.lognormvariate(math.log(5000), 1.45)))
        kind = rng.random()
        folder = rng.choice(folders)
        if kind < 0.72:
            entries.append((folder + "f%04d.%s" % (i, rng.choice(["js", "js", "json", "map", "d.ts", "css"])), "text", size))
        elif kind < 0.92:
            entries.append((folder + "f%04d.%s" % (i, rng.choice(["png", "woff2", "jpg"])), "binary", size))
        else:
            entries.append((folder + "f%04d.node" % i, "native", size))
    body_total = sum(size for _, _, size in entries)
    big = 30
    share = max(0, 150 * MB - body_total) // big
    for i in range(big):
        kind = ["text", "text", "native", "binary"][i % 4]
        entries.append(("app/dist/bundle-%02d.%s" % (i, {"text": "js", "native": "node", "binary": "pak"}[kind]), kind, share))
    rng.shuffle(entries)
    with zipfile.ZipFile(path, "w") as zf:
        written = set()
        for name, kind, size in entries:
            folder = name[:name.rfind("/") + 1]
            # Folder entries as a recursive zip writes them, before their files.
            chain = []
            while folder and folder not in written:
                chain.append(folder)
                written.add(folder)
                folder = folder[:folder[:-1].rfind("/") + 1]
            for f in reversed(chain):
                write(zf, f, b"", stored=True)
            if kind == "text":
                write(zf, name, slice_of(rng, corpus, size))
            elif kind == "binary":
                write(zf, name, rng.randbytes(size), stored=True)
            else:
                write(zf, name, native_like(rng, size))


def single(path):
    rng = random.Random(20240518)
    corpus = text_corpus(rng, 16 * MB)
    with zipfile.ZipFile(path, "w", allowZip64=True) as zf:
        info = zipfile.ZipInfo("app.bin", date_time=(2024, 5, 17, 12, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info._compresslevel = 6
        with zf.open(info, "w", force_zip64=True) as out:
            total = 0
            while total < 300 * MB:
                size = min(rng.randrange(64 << 10, 4 * MB), 300 * MB - total)
                pick = rng.random()
                chunk = (slice_of(rng, corpus, size) if pick < 0.6 else
                         native_like(rng, size) if pick < 0.85 else rng.randbytes(size))
                out.write(chunk)
                total += size


def small(path):
    rng = random.Random(20240519)
    corpus = text_corpus(rng, 4 * MB)
    with zipfile.ZipFile(path, "w") as zf:
        for i in range(50_000):
            write(zf, "pkg/m%03d/f%05d.js" % (i % 500, i), slice_of(rng, corpus, rng.randrange(100, 4096)))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, build in (("resources.zip", resources), ("single.zip", single), ("small.zip", small)):
        target = os.path.join(folder, name)
        if not os.path.exists(target):
            build(target + ".part")
            os.replace(target + ".part", target)
            print("built", target, flush=True)


if __name__ == "__main__":
    main()
