"""Small inputs for the matching commands, made here rather than read from
sample folders: NFRecord templates with placed minutiae, and a grey BMP of
synthetic ridges whose endings and forks sit at chosen points."""
import math
import random
import struct
import zlib


def template(minutiae):
    """NFRecord bytes: (x, y, type, angle) minutiae without optional bytes, no cores, deltas or double cores."""
    out = bytearray(22)
    out += bytes([0, 0, len(minutiae), 4])
    for x, y, kind, angle in minutiae:
        out += struct.pack("<I", x << 21 | y << 10 | kind << 8 | angle & 0xFF)
    out += bytes([0]) + struct.pack("<h", 0)  # an empty block
    out += bytes([0, 4, 0, 7, 0, 4])  # no cores, deltas or double cores
    return bytes(out)


def finger(seed, count=40, width=300, height=400, spacing=14):
    """Minutiae of an imaginary finger, at least `spacing` pixels apart, away from the borders."""
    rnd = random.Random(seed)
    found = []
    while len(found) < count:
        x, y = rnd.randint(40, width - 40), rnd.randint(40, height - 40)
        if all((x - a) ** 2 + (y - b) ** 2 >= spacing ** 2 for a, b, _, _ in found):
            found.append((x, y, rnd.randint(0, 1), rnd.randint(0, 255)))
    return found


def moved(minutiae, degrees, dx, dy, centre=(150, 200)):
    """The same minutiae turned counter-clockwise as seen (Y points down) about `centre`, then moved."""
    t = math.radians(degrees)
    c, s = math.cos(t), math.sin(t)
    out = []
    for x, y, kind, angle in minutiae:
        ux, uy = x - centre[0], y - centre[1]
        nx = centre[0] + ux * c + uy * s + dx
        ny = centre[1] - ux * s + uy * c + dy
        out.append((round(nx), round(ny), kind, round(angle + degrees * 256 / 360) % 256))
    return out


def bmp(width, height, pixels):
    """An 8-bit grey BMP, rows bottom to top, each padded to 4 bytes."""
    stride = (width + 3) & ~3
    head = struct.pack("<2sIHHI", b"BM", 14 + 40 + 1024 + stride * height, 0, 0, 14 + 40 + 1024)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, stride * height, 19685, 19685, 256, 0)
    palette = b"".join(bytes([i, i, i, 0]) for i in range(256))
    rows = b"".join(bytes(pixels[y * width:(y + 1) * width]) + bytes(stride - width) for y in range(height - 1, -1, -1))
    return head + info + palette + rows


def ridges(width=256, height=320, period=9.0, seed=7, count=24):
    """A print of parallel, gently bent ridges with ridge endings and forks placed by spiral phase terms."""
    return bmp(width, height, ridge_pixels(width, height, period, seed, count))


def ridge_pixels(width=256, height=320, period=9.0, seed=7, count=24):
    """The grey levels of ridges(), row by row from the top."""
    rnd = random.Random(seed)
    points = [(rnd.uniform(50, width - 50), rnd.uniform(50, height - 50), rnd.choice((-1, 1))) for _ in range(count)]
    pixels = bytearray(width * height)
    cx, cy = width / 2, height / 2
    for y in range(height):
        for x in range(width):
            phase = 2 * math.pi * (x + 12 * math.sin(y / 60)) / period
            for px, py, sign in points:
                phase += sign * math.atan2(y - py, x - px)
            # Grey ridges on a light background, fading out at the edge of an ellipse.
            r = ((x - cx) / (0.46 * width)) ** 2 + ((y - cy) / (0.46 * height)) ** 2
            contrast = 100 * max(0.0, min(1.0, (1 - r) * 4))
            pixels[y * width + x] = int(max(0, min(255, 150 + contrast * math.cos(phase))))
    return pixels


def png(width, height, pixels, colour=False):
    """A grey PNG file; with colour, an RGB one whose red, green and blue are each pixel's grey."""
    step = 3 if colour else 1
    raw = b"".join(b"\x00" + bytes(v for v in pixels[y * width:(y + 1) * width] for _ in range(step))
                   for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2 if colour else 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def tiff(width, height, pixels):
    """An uncompressed 8-bit grey TIFF file (little-endian, one strip, 0 black)."""
    entries = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, 1), (262, 3, 1),
               (273, 4, 0), (277, 3, 1), (278, 4, height), (279, 4, width * height)]
    ifd_size = 2 + 12 * len(entries) + 4
    data_at = 8 + ifd_size
    ifd = struct.pack("<H", len(entries))
    for tag, kind, value in entries:
        value = data_at if tag == 273 else value
        ifd += struct.pack("<HHI", tag, kind, 1) + (struct.pack("<HH", value, 0) if kind == 3 else
                                                     struct.pack("<I", value))
    return b"II*\x00" + struct.pack("<I", 8) + ifd + struct.pack("<I", 0) + bytes(pixels)


def bmp24(width, height, pixels):
    """A 24-bit BMP whose blue, green and red are each pixel's grey, rows bottom to top, padded to 4 bytes."""
    stride = (width * 3 + 3) & ~3
    head = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 19685, 19685, 0, 0)
    rows = b"".join(bytes(v for v in pixels[y * width:(y + 1) * width] for _ in range(3))
                    + bytes(stride - 3 * width) for y in range(height - 1, -1, -1))
    return head + info + rows


def jpeg_head(size=2048, seed=5):
    """The start of a JPEG file (JFIF marker, a quantisation table) followed by entropy-coded-like bytes."""
    rnd = random.Random(seed)
    head = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    head += b"\xff\xdb\x00\x43\x00" + bytes(rnd.randint(1, 60) for _ in range(64))
    return head + bytes(rnd.randint(0, 255) for _ in range(size - len(head)))


def minutiae_record(views, ansi=False, width=300, height=400, ppcm=197):
    """A finger minutiae record, laid out field by field: ISO/IEC 19794-2:2005, or ANSI INCITS 378-2004 with
    `ansi`. `views` is a list of (finger position, [(type code, x, y, angle, quality)])."""
    body = b""
    for position, minutiae in views:
        body += bytes([position, 0, 60, len(minutiae)])
        for kind, x, y, angle, quality in minutiae:
            body += struct.pack(">HHBB", kind << 14 | x, y, angle, quality)
        body += struct.pack(">H", 0)  # no extended data
    tail = struct.pack(">HHHHHBB", 0, width, height, ppcm, ppcm, len(views), 0)
    if ansi:
        length = 8 + 2 + 4 + len(tail) + len(body)
        return b"FMR\0 20\0" + struct.pack(">HHH", length, 0x33, 1) + tail + body
    length = 8 + 4 + len(tail) + len(body)
    return b"FMR\0 20\0" + struct.pack(">I", length) + tail + body
