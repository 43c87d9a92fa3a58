"""Small inputs for the matching commands, made here rather than read from
sample folders: NFRecord templates with placed minutiae, and a grey BMP of
synthetic ridges whose endings and forks sit at chosen points."""
import math
import random
import struct


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
    return bmp(width, height, pixels)
