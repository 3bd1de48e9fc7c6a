#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets.

usage: fuzz-seeds.py OUTDIR

Writes OUTDIR/<target>/<name> for every target of fuzz/FuzzEntries.cpp:

  zip_archive  the small archives of tests/data (legacy, interop, malformed)
               and archives made here with zip, 7zz and wavpack, one per
               method, plus encrypted, folder, link and Zip64-flavoured ones;
  inflate, legacy, bzip2, lzma, wavpack, ppmd
               the raw data of every item of those archives, behind the
               parameter bytes the target reads first (see FuzzEntries.cpp);
  decrypt      the stored bytes of encrypted items, behind the password
               and check value;
  aes          the stored bytes of WinZip AES items made by 7zz with the
               password "fuzz", behind key size, variant, method, size and CRC;
  zstd         what the zstd program makes of small texts, behind the size,
               and frames whose windows are the decoder limit and one past it;
  xz           what the xz program makes of small texts, behind the size:
               streams one after another with padding, garbage after them,
               an empty stream, a dictionary at the decoder limit;
  link_names   link entries' names and targets: "./" and "//" in the name,
               long runs of them, targets that stay inside and that leave;
  masks        name/mask pairs;
  ini          settings files in the encodings the launcher reads.

Seeds are kept small (an archive of at most 64 KiB, an item of at most
48 KiB of data): a fuzzer learns the structure from small inputs, and
small inputs run fast.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
MAX_ARCHIVE = 64 * 1024
MAX_ITEM = 48 * 1024


def text(n, seed=1):
    words = [b"archive ", b"item ", b"folder ", b"deflate ", b"window ", b"reader ", b"\n", b"byte "]
    out, x = bytearray(), seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out += words[(x >> 16) % len(words)]
    return bytes(out[:n])


def run(cmd, cwd):
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def have(tool):
    return shutil.which(tool) is not None


def wav(frames, channels=1, bits=16):
    data = bytearray()
    for f in range(frames):
        for c in range(channels):
            v = ((f * (c + 3) * 37) % 2000) - 1000
            data += struct.pack("<h", v) if bits == 16 else struct.pack("<B", (v >> 4) & 0xFF)
    fmt = struct.pack("<HHIIHH", 1, channels, 8000, 8000 * channels * bits // 8, channels * bits // 8, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", len(data)) + bytes(data)
    if len(data) & 1:
        body += b"\0"
    return b"RIFF" + struct.pack("<I", len(body)) + body


def raw_zip(entries):
    """A ZIP with items given as (name, method, data, crc, usize[, unix mode]):
    data as stored."""
    out, central = bytearray(), bytearray()
    for name, method, data, crc, usize, *mode in entries:
        mode = mode[0] if mode else 0o100644
        off = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0x6000, 0x5021, crc, len(data), usize,
                           len(name), 0) + name + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, 20, 0, method, 0x6000, 0x5021, crc,
                               len(data), usize, len(name), 0, 0, 0, 0, mode << 16, off) + name
    cd = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), cd, 0)
    return bytes(out)


def made_archives(tmp):
    """Archives of every method, made by the programs users have."""
    src = os.path.join(tmp, "src")
    os.makedirs(os.path.join(src, "sub"))
    files = {"a.txt": text(3000), "b.txt": text(200, 2), "sub/c.txt": text(9000, 3), "one.txt": b"x",
             "zeros.bin": bytes(20000), "empty.txt": b""}
    for name, data in files.items():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    out = {}

    def made(name, cmd):
        path = os.path.join(tmp, name)
        try:
            run(cmd(path), src)
        except (subprocess.CalledProcessError, FileNotFoundError):
            return
        if os.path.exists(path):
            with open(path, "rb") as f:
                out[name] = f.read()

    if have("zip"):
        made("zip-stored.zip", lambda p: ["zip", "-q", "-0", "-r", p, "."])
        made("zip-deflate.zip", lambda p: ["zip", "-q", "-9", "-r", p, "."])
        made("zip-fast.zip", lambda p: ["zip", "-q", "-1", p, "a.txt", "b.txt"])
        made("zip-bzip2.zip", lambda p: ["zip", "-q", "-Z", "bzip2", p, "a.txt", "sub/c.txt"])
        made("zip-crypt.zip", lambda p: ["zip", "-q", "-P", "fuzz", p, "a.txt", "b.txt", "one.txt"])
        made("zip-stream.zip", lambda p: ["sh", "-c", "cat a.txt | zip -q " + p + " -"])
        os.symlink("a.txt", os.path.join(src, "link"))
        made("zip-link.zip", lambda p: ["zip", "-q", "-y", p, "link", "b.txt"])
        os.remove(os.path.join(src, "link"))
    if have("7zz"):
        for m in ["Deflate64", "BZip2", "LZMA", "PPMd", "Copy", "Deflate"]:
            made("7z-%s.zip" % m.lower(), lambda p, m=m: ["7zz", "a", "-tzip", "-mm=" + m, p, "a.txt", "b.txt", "sub"])
        made("7z-crypt.zip", lambda p: ["7zz", "a", "-tzip", "-pfuzz", "-mem=ZipCrypto", p, "a.txt", "b.txt"])
        for m in ["Copy", "Deflate", "Deflate64", "BZip2", "LZMA", "PPMd"]:
            for k in ["AES128", "AES192", "AES256"]:
                made("7z-%s-%s.zip" % (m.lower(), k.lower()),
                     lambda p, m=m, k=k: ["7zz", "a", "-tzip", "-pfuzz", "-mem=" + k, "-mm=" + m, p, "a.txt", "one.txt"])
        made("7z-lzma-eos.zip", lambda p: ["7zz", "a", "-tzip", "-mm=LZMA:eos", p, "b.txt"])
        # PPMd at the model's extremes: the smallest order and memory, and a
        # deep order with memory enough to cut the tree back.
        made("7z-ppmd-o2.zip", lambda p: ["7zz", "a", "-tzip", "-mm=PPMd:o=2:mem=1m", p, "a.txt", "b.txt"])
        made("7z-ppmd-o16.zip", lambda p: ["7zz", "a", "-tzip", "-mm=PPMd:o=16:mem=2m", p, "a.txt", "zeros.bin"])
    if have("wavpack"):
        for i, (frames, ch, bits, opts) in enumerate([(2000, 1, 16, []), (1501, 2, 16, ["-h"]), (999, 1, 8, ["-f"])]):
            w = os.path.join(tmp, "in%d.wav" % i)
            v = os.path.join(tmp, "in%d.wv" % i)
            with open(w, "wb") as f:
                f.write(wav(frames, ch, bits))
            try:
                run(["wavpack", "-q", "-y"] + opts + [w, "-o", v], tmp)
            except (subprocess.CalledProcessError, FileNotFoundError):
                continue
            with open(w, "rb") as f:
                orig = f.read()
            with open(v, "rb") as f:
                packed = f.read()
            crc = zipfile.crc32(orig) & 0xFFFFFFFF
            out["wavpack%d.zip" % i] = raw_zip([(b"sound.wav", 97, packed, crc, len(orig))])
    # Link entries whose names hold "./" and "//": some leave the target
    # however they are spelled, some stay inside once the name is cleaned.
    dots, ups = "./" * 30, "../" * 30
    links = [("./k", "../outside"), ("a//k", "../../outside"), (dots + "k", ups + "etc"), ("a/./b//k", "../../in"),
             ("./a/.//./k", ".//..//in")]
    out["link-names.zip"] = raw_zip([(n.encode(), 0, t.encode(), zipfile.crc32(t.encode()), len(t), 0o120777)
                                     for n, t in links])
    for i, (data, content) in enumerate(xz_items()[:4]):
        out["xz%d.zip" % i] = raw_zip([(b"x", 95, data, zipfile.crc32(content) & 0xFFFFFFFF, len(content))])
    return out


def xz_items():
    """(data, what it decodes to) of xz items: one stream, two with padding
    between and after them, an empty stream, a 256 MiB dictionary, garbage
    after a stream, no stream at all."""
    if not have("xz"):
        return []

    def xz(data, *opts):
        return subprocess.run(["xz", "-c"] + list(opts), input=data, stdout=subprocess.PIPE, check=True).stdout

    one = xz(text(3000, 1))
    two = xz(text(3000, 2)) + bytes(8) + xz(text(500, 8), "--check=sha256") + bytes(4)
    empty = xz(b"")
    big = bytearray(xz(text(3000, 4), "--lzma2=dict=1MiB"))
    size = (big[12] + 1) * 4
    at = big.find(b"\x21\x01", 12)
    big[at + 2] = 32  # 256 MiB
    big[12 + size - 4:12 + size] = struct.pack("<I", zipfile.crc32(bytes(big[12:12 + size - 4])))
    return [(one, text(3000, 1)), (two, text(3000, 2) + text(500, 8)), (empty, b""), (bytes(big), text(3000, 4)),
            (one + b"x", text(3000, 1)), (b"", b"")]


def encrypted_items(archive):
    """(check value, raw data) of every encrypted item: the check value as the
    pipeline computes it, the high byte of which the header must match."""
    import io
    try:
        infos = zipfile.ZipFile(io.BytesIO(archive)).infolist()
    except Exception:
        return
    for info in infos:
        off = info.header_offset
        if off + 30 > len(archive) or archive[off:off + 4] != b"PK\x03\x04" or not info.flag_bits & 1:
            continue
        flags, _, time = struct.unpack("<HHH", archive[off + 6:off + 12])
        n, m = struct.unpack("<HH", archive[off + 26:off + 30])
        start = off + 30 + n + m
        raw = archive[start:start + info.compress_size]
        if len(raw) < 12 or len(raw) > MAX_ITEM:
            continue
        check = (time << 16) if flags & 8 else info.CRC
        yield check, raw


AES_METHODS = [0, 8, 9, 12, 14, 98, 93, 95]  # the aes target's method list


def aes_items(archive):
    """The aes target's parameter bytes and the stored data of every WinZip
    AES item."""
    import io
    try:
        infos = zipfile.ZipFile(io.BytesIO(archive)).infolist()
    except Exception:
        return
    for info in infos:
        off = info.header_offset
        if off + 30 > len(archive) or archive[off:off + 4] != b"PK\x03\x04" or info.compress_type != 99:
            continue
        extra, at = info.extra, 0
        while at + 4 <= len(extra):
            fid, size = struct.unpack("<HH", extra[at:at + 4])
            if fid == 0x9901 and size >= 7:
                version, _, strength, method = struct.unpack("<H2sBH", extra[at + 4:at + 11])
                break
            at += 4 + size
        else:
            continue
        if method not in AES_METHODS:
            continue
        n, m = struct.unpack("<HH", archive[off + 26:off + 30])
        start = off + 30 + n + m
        raw = archive[start:start + info.compress_size]
        if len(raw) > MAX_ITEM:
            continue
        kind = (strength - 1) | (4 if version == 1 else 0)
        yield bytes([kind, AES_METHODS.index(method)]) + struct.pack("<II", info.file_size, info.CRC) + raw


def items(archive):
    """(method, flags, usize, raw data) of every unencrypted item."""
    import io
    try:
        zf = zipfile.ZipFile(io.BytesIO(archive))
        infos = zf.infolist()
    except Exception:
        return
    for info in infos:
        off = info.header_offset
        if off + 30 > len(archive) or archive[off:off + 4] != b"PK\x03\x04":
            continue
        n, m = struct.unpack("<HH", archive[off + 26:off + 30])
        start = off + 30 + n + m
        raw = archive[start:start + info.compress_size]
        if info.flag_bits & 1 or not raw or len(raw) > MAX_ITEM:
            continue
        yield info.compress_type, info.flag_bits, info.file_size, raw


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    outdir = sys.argv[1]
    targets = ["zip_archive", "inflate", "legacy", "bzip2", "lzma", "wavpack", "ppmd", "decrypt", "masks", "ini", "aes",
               "zstd", "xz", "link_names"]
    for t in targets:
        os.makedirs(os.path.join(outdir, t), exist_ok=True)

    archives = {}
    for sub in ["legacy", "interop", "malformed"]:
        folder = os.path.join(DATA, sub)
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.lower().endswith(".zip") and os.path.getsize(path) <= MAX_ARCHIVE:
                with open(path, "rb") as f:
                    archives[sub + "-" + name] = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        archives.update(made_archives(tmp))

    seen = set()

    def write(target, name, data):
        # The same bytes under two names teach a fuzzer nothing new.
        if (target, data) in seen:
            return False
        seen.add((target, data))
        with open(os.path.join(outdir, target, name), "wb") as f:
            f.write(data)
        return True

    counts = dict.fromkeys(targets, 0)
    for name, data in sorted(archives.items()):
        if len(data) <= MAX_ARCHIVE:
            counts["zip_archive"] += write("zip_archive", name, data)
            # Cut at two thirds: no end record, so the items are read from
            # their local headers.
            if len(data) > 64:
                counts["zip_archive"] += write("zip_archive", name + "-cut", data[:len(data) * 2 // 3])
        for i, (method, flags, usize, raw) in enumerate(items(data)):
            seed = "%s-%d" % (name, i)
            if method in (8, 9):
                d64 = 1 if method == 9 else 0
                counts["inflate"] += write("inflate", seed, bytes([d64]) + raw)
                # Into memory both ways, which reads at most 1 KiB.
                counts["inflate"] += write("inflate", seed + "-memory", bytes([d64 | 32]) + raw[:1024])
            elif 1 <= method <= 6:
                legacy = (1 if flags & 2 else 0) | (2 if flags & 4 else 0)
                counts["legacy"] += write("legacy", seed, bytes([method - 1, legacy]) + struct.pack("<I", usize) + raw)
            elif method == 12:
                counts["bzip2"] += write("bzip2", seed, raw)
            elif method == 14:
                counts["lzma"] += write("lzma", seed, struct.pack("<I", usize) + raw)
            elif method == 97:
                counts["wavpack"] += write("wavpack", seed, raw)
            elif method == 98:
                counts["ppmd"] += write("ppmd", seed, raw)
        for i, (check, raw) in enumerate(encrypted_items(data)):
            seed = bytes([3]) + b"fuzz" + struct.pack("<I", check) + b"\x40" + raw
            counts["decrypt"] += write("decrypt", "%s-%d" % (name, i), seed)
        for i, seed in enumerate(aes_items(data)):
            counts["aes"] += write("aes", "%s-%d" % (name, i), seed)

    if have("zstd"):
        for i, (data, opts) in enumerate([(text(3000), ["-3"]), (text(20000, 4), ["-19"]), (bytes(5000), ["-1"]),
                                          (text(9000, 5), ["--no-check", "-5"]), (b"x", [])]):
            packed = subprocess.run(["zstd", "-q", "-c"] + opts, input=data, stdout=subprocess.PIPE, check=True).stdout
            counts["zstd"] += write("zstd", "zstd%d" % i, struct.pack("<I", len(data)) + packed)
        # Windows at the limit (by descriptor) and one byte past it (by the
        # content size of a single-segment frame).
        data = text(3000, 6)
        packed = subprocess.run(["zstd", "-q", "-c"], input=data, stdout=subprocess.PIPE, check=True).stdout
        if packed[4] & 0xE3 == 0:
            at_limit = packed[:5] + bytes([18 << 3]) + packed[6:]
            past = packed[:4] + bytes([0xA0 | (packed[4] & 4)]) + struct.pack("<I", (256 << 20) + 1) + packed[6:]
            counts["zstd"] += write("zstd", "zstd-window-256m", struct.pack("<I", len(data)) + at_limit)
            counts["zstd"] += write("zstd", "zstd-window-past", struct.pack("<I", len(data)) + past)
    for i, (data, content) in enumerate(xz_items()):
        counts["xz"] += write("xz", "xz%d" % i, struct.pack("<I", len(content)) + data)
    dots, ups = "./" * 30, "../" * 30
    for i, (name, target) in enumerate([("./k", "../outside"), ("a//k", "../../outside"), (dots + "k", ups + "etc"),
                                        ("a/./b//k", "../../in"), ("./a/.//./k", ".//..//in"), ("k", "a/../.."),
                                        ("a" + "/" * 30 + "k", "../x"), ("./", "x")]):
        counts["link_names"] += write("link_names", "link%d" % i, name.encode() + b"\0" + target.encode())

    masks = [b"readme.txt\0*.*", b"docs/readme.txt\0docs\\*.txt", b"a\\b\\c.txt\0c:\\a\\*\\?.txt",
             b"folder/\0folder", b"x.tar.gz\0*.gz;*.zip", b"abcabcabd\0*abc*abd", b"\0*", b"name\0",
             b"\\\\server\\share\\f.txt\0\\\\server\\share\\*.txt", b"a*b?c\0a*b?c"]
    for i, m in enumerate(masks):
        counts["masks"] += write("masks", "mask%d" % i, m)
    inis = [b"[Settings]\r\ntitle=Book\r\nexe=ebook\\ebook.exe\r\ntarget=MyBook\r\n",
            b"\xef\xbb\xbf[settings]\nTITLE = \"quoted value\"\n[Settings]\ntitle=second\n",
            "[Settings]\r\ntitle=\uc804\uc790\ucc45\r\n".encode("utf-16"),
            "[Settings]\ntitle=\uc804\uc790\ucc45\nexe='x'\n".encode("cp949"),
            b"; comment\n[Other]\ntitle=no\n[ Settings ]\n  exe  =  run.exe  \ntarget=\n",
            b"[Settings\ntitle=a\0b\n", b"\xfe\xff\x00[\x00S\x00]"]
    for i, ini in enumerate(inis):
        counts["ini"] += write("ini", "config%d.ini" % i, ini)
    print(" ".join("%s:%d" % (t, counts[t]) for t in targets))


if __name__ == "__main__":
    main()
