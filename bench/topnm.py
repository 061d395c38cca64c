#!/usr/bin/env python3
"""Converts a picture to binary PPM (P6) for the benchmarks.

usage: topnm.py INPUT OUTPUT.ppm [--4k]

JPEG input goes through djpeg; 24-bit Windows bitmaps are read here.  With
--4k the picture is scaled by djpeg (JPEG only) to at least 3840 pixels wide
and cut to 3840 x 2160 around its middle: a 4K frame from a real photo.
"""
import struct
import subprocess
import sys


def read_ppm(data):
    # Header: P6, width, height, maxval, one whitespace byte.
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        sys.exit("topnm: expected an 8-bit P6 picture")
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def read_bmp(data):
    if data[:2] != b"BM":
        sys.exit("topnm: not a Windows bitmap")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bpp, compression = struct.unpack_from("<HI", data, 28)
    if bpp != 24 or compression != 0:
        sys.exit("topnm: only uncompressed 24-bit bitmaps")
    stride = (width * 3 + 3) & ~3
    rows = range(abs(height) - 1, -1, -1) if height > 0 else range(abs(height))
    out = bytearray()
    for r in rows:
        row = data[offset + r * stride: offset + r * stride + width * 3]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
        out += rgb
    return width, abs(height), bytes(out)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    four_k = "--4k" in sys.argv
    if len(args) != 2:
        sys.exit(__doc__)
    src, dst = args
    with open(src, "rb") as f:
        head = f.read(2)
    if head == b"BM":
        with open(src, "rb") as f:
            w, h, px = read_bmp(f.read())
    else:
        cmd = ["djpeg", "-ppm"]
        if four_k:
            cmd += ["-scale", "12/8"]
        w, h, px = read_ppm(subprocess.run(cmd + [src], check=True, capture_output=True).stdout)
    if four_k:
        if w < 3840 or h < 2160:
            sys.exit("topnm: the picture is too small for a 4K frame")
        x0, y0 = (w - 3840) // 2, (h - 2160) // 2
        px = b"".join(px[(y0 + y) * w * 3 + x0 * 3:(y0 + y) * w * 3 + (x0 + 3840) * 3]
                      for y in range(2160))
        w, h = 3840, 2160
    with open(dst, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h) + px)


if __name__ == "__main__":
    main()
