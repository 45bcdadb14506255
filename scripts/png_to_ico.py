#!/usr/bin/env python3
"""Convert a 32 x 32 RGBA PNG into a Windows .ico holding one 24-bit image with a 1-bit transparency mask.

Standard library only: the PNG is decoded here with zlib and struct.
Usage: png_to_ico.py INPUT.png OUTPUT.ico
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ALPHA_THRESHOLD = 128  # alpha below this is transparent in the icon


def read_png_rgba(path):
    """Return (width, height, rows) with rows a list of bytearrays of 8-bit RGBA."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != PNG_SIGNATURE:
        raise ValueError(f"{path}: not a PNG file")
    pos = 8
    header = None
    idat = bytearray()
    while pos < len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length  # length, type, body, CRC
        if ctype == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif ctype == b"IDAT":
            idat += body
        elif ctype == b"IEND":
            break
    if header is None:
        raise ValueError(f"{path}: no IHDR chunk")
    width, height, depth, colour, _comp, _filt, interlace = header
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace != 0:
        raise ValueError(f"{path}: only 8-bit non-interlaced RGB/RGBA PNGs are handled")

    raw = zlib.decompress(bytes(idat))
    stride = width * channels
    rows = []
    prev = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        ftype = raw[start]
        line = bytearray(raw[start + 1:start + 1 + stride])
        # Undo the per-row PNG filter (None, Sub, Up, Average, Paeth).
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 0xFF
            elif ftype == 2:
                line[i] = (line[i] + b) & 0xFF
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
            elif ftype != 0:
                raise ValueError(f"{path}: bad filter type {ftype}")
        prev = line
        if channels == 3:
            rgba = bytearray()
            for x in range(width):
                rgba += line[x * 3:x * 3 + 3] + b"\xff"
            line = rgba
        rows.append(line)
    return width, height, rows


def build_ico(width, height, rows):
    """Pack one 24-bit BI_RGB image plus its AND mask into .ico bytes."""
    xor_stride = (width * 3 + 3) & ~3
    and_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    # Both bitmaps are stored bottom-up.
    for row in reversed(rows):
        xor_row = bytearray()
        mask_row = bytearray(and_stride)
        for x in range(width):
            r, g, b, a = row[x * 4:x * 4 + 4]
            if a < ALPHA_THRESHOLD:
                mask_row[x >> 3] |= 0x80 >> (x & 7)  # 1 = transparent, colour left black
                xor_row += b"\x00\x00\x00"
            else:
                # Composite the semi-transparent edge over black, in BGR order.
                xor_row += bytes((b * a // 255, g * a // 255, r * a // 255))
        xor_row += bytes(xor_stride - len(xor_row))
        xor += xor_row
        mask += mask_row

    # BITMAPINFOHEADER; the height counts the colour bitmap and the mask together.
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 24, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)  # reserved, type 1 = icon, one image
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 24,
                        len(image), 6 + 16)
    return icondir + entry + image


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: png_to_ico.py INPUT.png OUTPUT.ico\n")
        return 2
    width, height, rows = read_png_rgba(argv[1])
    if (width, height) != (32, 32):
        sys.stderr.write(f"{argv[1]}: expected 32 x 32, got {width} x {height}\n")
        return 1
    with open(argv[2], "wb") as f:
        f.write(build_ico(width, height, rows))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
