#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets that are kept in the
repository: bitmaps of every flavour the loader reads, option strings, and
(with the jp2c tool and cjpeg at hand) code streams of the encoder across
its options, their headers and packet data, and small JPEG files.

usage: make_seeds.py OUTDIR [JP2C]
"""
import os
import struct
import subprocess
import sys
import tempfile

W, H = 13, 9


def pixel(x, y):
    return ((x * 37 + y * 11) & 255, (x * 5 + y * 29) & 255, (x * y * 7) & 255)


def bmp(bits, compression=0, topdown=False, palette=None, rows=None, masks=None):
    """A bitmap file with a BITMAPINFOHEADER (plus masks for bit fields)."""
    if rows is None:
        rows = b"".join(row_bytes(bits, y, palette) for y in range(H))
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in (palette or []))
    extra = b"".join(struct.pack("<I", m) for m in (masks or []))
    offset = 14 + 40 + len(extra) + len(pal)
    info = struct.pack("<IiiHHIIiiII", 40, W, -H if topdown else H, 1, bits, compression,
                       len(rows), 2835, 2835, len(palette or []), 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    return head + info + extra + pal + rows


def row_bytes(bits, y, palette):
    out = bytearray()
    if bits == 24:
        for x in range(W):
            r, g, b = pixel(x, y)
            out += bytes((b, g, r))
    elif bits == 32:
        for x in range(W):
            r, g, b = pixel(x, y)
            out += bytes((b, g, r, 255))
    elif bits == 16:
        for x in range(W):
            r, g, b = pixel(x, y)
            out += struct.pack("<H", (r >> 3) << 11 | (g >> 2) << 5 | b >> 3)
    else:
        n = len(palette)
        idx = [(x + y) % n for x in range(W)]
        acc, cnt = 0, 0
        for i in idx:
            acc = acc << bits | i
            cnt += bits
            if cnt == 8:
                out.append(acc)
                acc, cnt = 0, 0
        if cnt:
            out.append(acc << (8 - cnt))
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def rle8(palette):
    out = bytearray()
    for y in range(H):
        idx = [(x // 3 + y) % len(palette) for x in range(W)]
        x = 0
        while x < W:
            run = 1
            while x + run < W and idx[x + run] == idx[x] and run < 255:
                run += 1
            out += bytes((run, idx[x]))
            x += run
        out += b"\x00\x00"
    out += b"\x00\x01"
    return bytes(out)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def bitmaps(outdir):
    d = os.path.join(outdir, "loader_bmp")
    os.makedirs(d, exist_ok=True)
    grey = [(i * 17, i * 17, 255 - i * 17) for i in range(16)]
    pal256 = [(i, 255 - i, (i * 3) & 255) for i in range(256)]
    write(os.path.join(d, "rgb24.bmp"), bmp(24))
    write(os.path.join(d, "rgb24_topdown.bmp"), bmp(24, topdown=True))
    write(os.path.join(d, "argb32.bmp"), bmp(32))
    write(os.path.join(d, "rgb565.bmp"),
          bmp(16, compression=3, masks=[0xF800, 0x07E0, 0x001F]))
    write(os.path.join(d, "pal8.bmp"), bmp(8, palette=pal256))
    write(os.path.join(d, "pal4.bmp"), bmp(4, palette=grey))
    write(os.path.join(d, "pal1.bmp"), bmp(1, palette=[(0, 0, 0), (255, 255, 255)]))
    write(os.path.join(d, "rle8.bmp"), bmp(8, compression=1, palette=pal256, rows=rle8(pal256)))


def options(outdir):
    d = os.path.join(outdir, "options")
    os.makedirs(d, exist_ok=True)
    texts = [
        b"\x01rate=0.5 maxrlvls=6 nomct",
        b"\x03mode=real rate=0.1 lyrrates=0.01,0.02,0.05",
        b"\x03prg=rlcp cblkwidth=16 cblkheight=8 lazy termall segsym vertcausal resetprob",
        b"\x01maxrlvls=1 cblkwidth=4 cblkheight=1024 rate=2",
        b"\x00debug=0 maxlyrs=2",
        b"\x03 rate = 0.5\tmaxrlvls=33 lyrrates=,,1e308,-1,nan mode=foo",
    ]
    for i, t in enumerate(texts):
        write(os.path.join(d, "opt%d.txt" % i), t)


def pgm(path, w, h, channels):
    with open(path, "wb") as f:
        f.write(b"P%d\n%d %d\n255\n" % (6 if channels == 3 else 5, w, h))
        for y in range(h):
            for x in range(w):
                f.write(bytes(pixel(x, y)[:channels]))


def streams(outdir, jp2c):
    dd = os.path.join(outdir, "decode")
    dj = os.path.join(outdir, "jpc")
    dt = os.path.join(outdir, "t2")
    for d in (dd, dj, dt):
        os.makedirs(d, exist_ok=True)
    runs = [
        (3, ""), (1, ""), (3, "rate=0.2"), (3, "mode=real rate=0.3 lyrrates=0.05,0.1"),
        (3, "prg=rlcp maxrlvls=2 cblkwidth=8 cblkheight=8"), (1, "lazy termall segsym"),
        (1, "vertcausal resetprob maxrlvls=1"), (3, "nomct cblkwidth=4 cblkheight=4 rate=0.5"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for i, (ch, opts) in enumerate(runs):
            src = os.path.join(tmp, "in.%s" % ("ppm" if ch == 3 else "pgm"))
            pgm(src, 21, 17, ch)
            out = os.path.join(tmp, "out.j2k")
            subprocess.run([jp2c, "encode", src, out, "--options", opts], check=True,
                           stderr=subprocess.DEVNULL)
            data = open(out, "rb").read()
            write(os.path.join(dd, "enc%d.j2k" % i), data)
            sod = data.find(b"\xff\x93")
            write(os.path.join(dj, "enc%d.hdr" % i), data[:sod + 2])
            # t2: two variant bytes, then the packet data after SOD.
            write(os.path.join(dt, "enc%d.pkt" % i), bytes((i * 37 & 255, i * 91 & 255)) +
                  data[sod + 2:-2])


def jpegs(outdir):
    d = os.path.join(outdir, "loader_jpg")
    os.makedirs(d, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        ppm = os.path.join(tmp, "in.ppm")
        pgm(ppm, 19, 11, 3)
        grey = os.path.join(tmp, "in.pgm")
        pgm(grey, 19, 11, 1)
        for name, src, args in [("baseline", ppm, []), ("progressive", ppm, ["-progressive"]),
                                ("arithmetic", ppm, ["-arithmetic"]),
                                ("grey", grey, []), ("restart", ppm, ["-restart", "1"]),
                                ("noopt", ppm, ["-sample", "1x1", "-quality", "30"])]:
            data = subprocess.run(["cjpeg"] + args + [src], check=True,
                                  stdout=subprocess.PIPE).stdout
            write(os.path.join(d, name + ".jpg"), data)
        # An EXIF orientation (6) in an APP1 segment after SOI.
        base = open(os.path.join(d, "baseline.jpg"), "rb").read()
        tiff = b"MM\x00\x2a\x00\x00\x00\x08\x00\x01" + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + b"\0\0\0\0"
        app1 = b"Exif\0\0" + tiff
        write(os.path.join(d, "exif6.jpg"),
              base[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + base[2:])


def main():
    outdir = sys.argv[1]
    bitmaps(outdir)
    options(outdir)
    if len(sys.argv) > 2:
        streams(outdir, sys.argv[2])
    jpegs(outdir)


if __name__ == "__main__":
    main()
